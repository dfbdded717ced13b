#include "patcher/disassembler.h"

#include "patcher/disassembler_elf_arm.h"
#include "patcher/disassembler_elf_x86.h"
#include "patcher/disassembler_macho.h"
#include "patcher/disassembler_win32.h"

#include <algorithm>
#include <new>

namespace patcher {

Disassembler::Disassembler(const uint8_t *start, size_t length)
    : m_start(start), m_end(start + length), m_length(length), m_failureReason("uninitialized")
{
}

Disassembler::~Disassembler() = default;

bool Disassembler::Good()
{
    m_failureReason.clear();
    return true;
}

bool Disassembler::Bad(const char *reason)
{
    m_failureReason = reason;
    return false;
}

void Disassembler::ShrinkLength(uint64_t extent)
{
    if (extent < m_length)
        m_length = extent;
}

bool EmitByteRegion(ParsedProgram *program, const uint8_t *start, uint64_t begin, uint64_t end,
                    uint32_t regionRva, const RegionReferences &refs)
{
    if (!program->AddOriginInsn(regionRva))
        return false;
    if (end < begin)
        end = begin; // a region that starts past the element has no bytes
    static const std::vector<uint32_t> kNone;
    const std::vector<uint32_t> &abs32 = refs.abs32 ? *refs.abs32 : kNone;
    const std::vector<uint32_t> &rel32 = refs.rel32 ? *refs.rel32 : kNone;
    auto nextAbs = std::lower_bound(abs32.begin(), abs32.end(), regionRva);
    auto nextRel = std::lower_bound(rel32.begin(), rel32.end(), regionRva);
    bool relocsDone = false;
    // Literal bytes between references go out as one run: the encoding is the same as with one
    // instruction per byte, at a fraction of the memory.
    uint64_t run = begin;
    auto flush = [&](uint64_t upTo) { return run == upTo || program->AddBytesInsn(start + run, upTo - run); };
    uint64_t offset = begin;
    while (offset < end) {
        const uint32_t rva = regionRva + static_cast<uint32_t>(offset - begin);
        if (refs.hasRelocTable && rva == refs.relocRva && !relocsDone) {
            relocsDone = true; // an empty table must not stop the walk
            if (!flush(offset) || !program->AddPeRelocsInsn())
                return false;
            run = offset;
            if (refs.relocSize != 0) {
                offset = std::min<uint64_t>(offset + refs.relocSize, end);
                run = offset;
                continue;
            }
        }
        while (nextAbs != abs32.end() && *nextAbs < rva)
            ++nextAbs;
        while (nextRel != rel32.end() && *nextRel < rva)
            ++nextRel;
        const bool fits = end - offset >= 4;
        if (fits && nextAbs != abs32.end() && *nextAbs == rva) {
            if (!flush(offset) ||
                !program->AddAbs32Ref(program->Abs32LabelAt(ReadLE32(start + offset) - refs.imageBase)))
                return false;
            offset += 4;
            run = offset;
        } else if (fits && nextRel != rel32.end() && *nextRel == rva) {
            if (!flush(offset) ||
                !program->AddRel32Ref(program->Rel32LabelAt(rva + 4 + ReadLE32(start + offset))))
                return false;
            offset += 4;
            run = offset;
        } else {
            ++offset;
        }
    }
    return flush(end);
}

std::unique_ptr<Disassembler> MakeDisassembler(ExecutableType kind, const uint8_t *bytes, size_t length)
{
    switch (kind) {
    case EXE_WIN_32_X86:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerWin32X86(bytes, length));
    case EXE_WIN_32_X64:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerWin32X64(bytes, length));
    case EXE_ELF_32_X86:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf32X86(bytes, length));
    case EXE_ELF_64_X64:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf64X64(bytes, length));
    case EXE_ELF_32_ARM:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf32ARM(bytes, length));
    case EXE_MACHO_X86:
    case EXE_MACHO_X64:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerMacho(bytes, length));
    default:
        return nullptr;
    }
}

namespace {

// The order in which detection tries the parsers.
const ExecutableType kDetectionOrder[] = {EXE_WIN_32_X86, EXE_WIN_32_X64, EXE_ELF_32_X86,
                                          EXE_ELF_64_X64, EXE_ELF_32_ARM, EXE_MACHO_X64};

std::unique_ptr<Disassembler> Detect(const uint8_t *bytes, size_t length, std::vector<std::string> *reasons)
{
    for (ExecutableType kind : kDetectionOrder) {
        std::unique_ptr<Disassembler> parser = MakeDisassembler(kind, bytes, length);
        if (!parser)
            return nullptr;
        if (parser->CheckHeader())
            return parser;
        if (reasons)
            reasons->push_back(parser->failure_reason());
    }
    return nullptr;
}

} // namespace

PatchStatus DetectExecutable(const uint8_t *bytes, size_t length, ExecutableType *type,
                             size_t *detectedLength, std::vector<std::string> *reasons)
{
    std::unique_ptr<Disassembler> parser = Detect(bytes, length, reasons);
    if (!parser) {
        *type = EXE_UNKNOWN;
        *detectedLength = 0;
        return C_INPUT_NOT_RECOGNIZED;
    }
    *type = parser->GetKind();
    *detectedLength = static_cast<size_t>(parser->length());
    return C_OK;
}

namespace {

uint32_t ReadBE32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

const uint32_t kFatMagic = 0xCAFEBABE;
const size_t kFatMinimumSize = 4096;
const uint32_t kFatMaximumArchitectures = 8;
const size_t kFatHeaderSize = 8;
const size_t kFatEntrySize = 20;

// Adds the architectures of a fat file; false when an entry ended the scan early.
bool ScanFatArchitectures(const uint8_t *bytes, size_t length, std::vector<ExecutableElement> *elements)
{
    const uint32_t count = ReadBE32(bytes + 4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = bytes + kFatHeaderSize + i * kFatEntrySize;
        const uint64_t offset = ReadBE32(entry + 8);
        const uint64_t size = ReadBE32(entry + 12);
        if (offset > length || size > length - offset)
            return false;
        for (const ExecutableElement &found : *elements)
            if (offset < found.offset + found.length && found.offset < offset + size)
                return false;
        ExecutableType type;
        size_t detected;
        if (DetectExecutable(bytes + offset, size, &type, &detected) != C_OK)
            continue;
        if (detected > size)
            return false;
        elements->push_back({static_cast<size_t>(offset), detected, type});
    }
    return true;
}

} // namespace

bool FindExecutableElements(const uint8_t *bytes, size_t length, std::vector<ExecutableElement> *elements)
{
    elements->clear();
    try {
        if (length >= kFatMinimumSize && ReadBE32(bytes) == kFatMagic &&
            ReadBE32(bytes + 4) <= kFatMaximumArchitectures &&
            ScanFatArchitectures(bytes, length, elements) && !elements->empty())
            return true;
        ExecutableType type;
        size_t detected;
        if (DetectExecutable(bytes, length, &type, &detected) == C_OK)
            elements->push_back({0, detected, type});
    } catch (const std::bad_alloc &) {
        elements->clear();
        return false;
    }
    return true;
}

PatchStatus DisassembleExecutable(const uint8_t *bytes, size_t length,
                                  std::unique_ptr<ParsedProgram> *program)
{
    program->reset();
    std::unique_ptr<Disassembler> parser = Detect(bytes, length, nullptr);
    if (!parser)
        return C_INPUT_NOT_RECOGNIZED;
    std::unique_ptr<ParsedProgram> parsed(new (std::nothrow) ParsedProgram(parser->GetKind()));
    if (!parsed || !parser->ParseProgram(parsed.get()))
        return C_DISASSEMBLY_FAILED;
    *program = std::move(parsed);
    return C_OK;
}

} // namespace patcher
