#include "patcher/packed_file.h"

#include "patcher/byte_difference.h"
#include "patcher/checksum.h"
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/ensemble.h"
#include "patcher/logging.h"
#include "patcher/mapped_file.h"
#include "patcher/program_encoder.h"
#include "patcher/stream_set.h"

#include <new>
#include <string>

namespace patcher {

namespace {

const uint32_t kFatMachoMagic = 0xCAFEBABE;
const size_t kFatMachoMinimumSize = 4096;
const uint32_t kFatMachoMaxArchitectures = 8;
const size_t kFatHeaderSize = 8;
const size_t kFatEntrySize = 20;

uint32_t ReadBE32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

bool Fail(const char *message)
{
    LogError(message);
    return false;
}

// Each architecture of a fat Mach-O file that is a supported executable. Returns false when the scan
// had to stop at an entry that cannot be trusted.
bool ScanFatMacho(const uint8_t *data, size_t size, std::vector<ExecutableElement> *elements)
{
    const uint32_t count = ReadBE32(data + 4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = data + kFatHeaderSize + kFatEntrySize * i;
        const size_t offset = ReadBE32(entry + 8);
        const size_t entry_size = ReadBE32(entry + 12);
        if (offset > size || entry_size > size - offset)
            return false;
        for (const ExecutableElement &e : *elements)
            if (offset < e.offset + e.length && e.offset < offset + entry_size)
                return false;
        ExecutableType type = EXE_UNKNOWN;
        size_t length = 0;
        if (DetectExecutable(data + offset, entry_size, &type, &length) != C_OK)
            continue;
        if (length > entry_size)
            return false;
        elements->push_back(ExecutableElement{offset, length, type});
    }
    return true;
}

bool WriteHeader(uint32_t checksum, uint32_t directive, WriteStream *out)
{
    if (!out->WriteVarint(kContainerMagic))
        return Fail("could not write magic");
    if (!out->WriteVarint(checksum))
        return Fail("could not write crc");
    if (!out->WriteVarint(directive))
        return Fail("could not write preprocess directive");
    return true;
}

bool WritePlainContainer(const uint8_t *data, size_t n, uint32_t checksum, WriteStream *out)
{
    if (!WriteHeader(checksum, kDirectivePlain, out))
        return false;
    if (!out->WriteLzma2Block(data, n))
        return Fail("could not compress file");
    return true;
}

// The dis_and_diff container: one serialised encoded program per element, then the byte difference
// from the reassembled elements to the whole file.
bool WritePreprocessedContainer(const uint8_t *data, size_t n, uint32_t checksum,
                                const std::vector<ExecutableElement> &elements, WriteStream *out)
{
    if (!WriteHeader(checksum, kDirectiveDisAndDiff, out))
        return false;
    WriteStreamSet outer;
    if (!outer.SetCount(elements.size() + 1))
        return Fail("could not combine streams");
    WriteStream assembly;
    for (size_t i = 0; i < elements.size(); ++i) {
        EncodedProgram encoded;
        const PatchStatus status =
            TransformExecutable(data + elements[i].offset, elements[i].length, ParsedProgramHook(), &encoded);
        if (status == C_INPUT_NOT_RECOGNIZED || status == C_DISASSEMBLY_FAILED) {
            LogWarning("could not parse file");
            return false;
        }
        if (status == C_TRIM_FAILED)
            return Fail("could not trim labels");
        if (status != C_OK)
            return Fail("could not encode program");
        WriteStreamSet program_source;
        if (SerializeEncodedProgram(encoded, &program_source) != C_OK)
            return Fail("could not write encode program");
        if (!program_source.Serialize(outer.stream(i)))
            return Fail("could not combine streams");
        if (AssembleProgram(encoded, &assembly) != C_OK)
            return Fail("could not assemble program");
    }
    ReadStream assembled = assembly.AsReadStream();
    ReadStream source(data, n);
    if (!GenerateByteDifference(assembled, source, outer.stream(elements.size()), 0))
        return Fail("could not generate diff");
    assembly.Clear();
    WriteStream combined;
    if (!outer.Serialize(&combined))
        return Fail("could not combine dis and dif");
    if (!out->WriteLzma2Block(combined.Buffer(), combined.Length()))
        return Fail("could not compress file");
    return true;
}

} // namespace

bool FindExecutableElements(const uint8_t *data, size_t size, std::vector<ExecutableElement> *elements)
{
    elements->clear();
    bool detect_whole_file = true;
    if (size >= kFatMachoMinimumSize && ReadBE32(data) == kFatMachoMagic &&
        ReadBE32(data + 4) <= kFatMachoMaxArchitectures)
        detect_whole_file = !ScanFatMacho(data, size, elements) || elements->empty();
    if (!detect_whole_file)
        return true;
    ExecutableType type = EXE_UNKNOWN;
    size_t length = 0;
    const PatchStatus status = DetectExecutable(data, size, &type, &length);
    if (status == C_OK) {
        elements->push_back(ExecutableElement{0, length, type});
        return true;
    }
    if (status != C_INPUT_NOT_RECOGNIZED) {
        LogError("error detecting file type " + std::to_string(status));
        return false;
    }
    return true;
}

bool UnpackPackedData(ReadStream source, WriteStream *output)
{
    uint32_t magic = 0;
    uint32_t checksum = 0;
    uint32_t directive = 0;
    if (!source.ReadVarint(&magic) || !source.ReadVarint(&checksum) || !source.ReadVarint(&directive))
        return Fail("could not read lzma header");
    if (magic != kContainerMagic)
        return Fail("not lzma file");

    if (directive == kDirectivePlain) {
        if (!source.ReadLzma2Block(output))
            return Fail("could not decompress file");
    } else if (directive == kDirectiveDisAndDiff) {
        WriteStream scratch;
        if (!source.ReadLzma2Block(&scratch))
            return Fail("could not decompress file");
        ReadStreamSet set;
        if (!set.Parse(scratch.Buffer(), scratch.Length()))
            return Fail("could not init dif_and_dis set");
        if (set.count() < 2)
            return Fail("dis_and_diff too small");
        WriteStream assembly;
        for (size_t i = 0; i + 1 < set.count(); ++i) {
            ReadStreamSet program_source;
            if (!program_source.Parse(*set.stream(i)))
                return Fail("could not init program_source set");
            EncodedProgram program;
            if (DeserializeEncodedProgram(&program_source, &program) != C_OK)
                return Fail("could not read encoded program");
            if (AssembleProgram(program, &assembly) != C_OK)
                return Fail("could not assemble program");
        }
        ReadStream assembled = assembly.AsReadStream();
        if (!ApplyByteDifference(assembled, set.stream(set.count() - 1), output))
            return Fail("could not apply diff");
    } else {
        return Fail("Unknown preprocessing dirrective");
    }

    if (PatchChecksum(output->Buffer(), output->Length()) != checksum)
        return Fail("crc mismatch");
    return true;
}

bool UnpackPackedFile(const char *source, const char *destination)
{
    WriteStream output;
    {
        MappedFile file;
        if (!file.Open(source))
            return Fail("could not open lzma file");
        try {
            if (!UnpackPackedData(ReadStream(file.data(), file.size()), &output))
                return false;
        } catch (const std::bad_alloc &) {
            return Fail("out of memory");
        }
    }
    if (!WriteWholeFile(destination, output.Buffer(), output.Length()))
        return Fail("could not write output file");
    return true;
}

bool PackData(const uint8_t *data, size_t n, bool preprocess, WriteStream *out)
{
    const uint32_t checksum = PatchChecksum(data, n);
    std::vector<ExecutableElement> elements;
    if (preprocess && n > 0 && !FindExecutableElements(data, n, &elements))
        return false;
    for (const ExecutableElement &e : elements)
        LogDebug(std::string("detected ") + ExecutableTypeName(e.type));
    if (!elements.empty()) {
        WriteStream container;
        if (WritePreprocessedContainer(data, n, checksum, elements, &container))
            return out->AppendAndFree(&container);
        LogWarning("falling back to default compression");
    }
    return WritePlainContainer(data, n, checksum, out);
}

bool PackFile(const char *source, const char *destination, bool preprocess)
{
    WriteStream container;
    {
        MappedFile file;
        // An empty file cannot be mapped, but it still packs (into an empty plain container).
        if (!file.Open(source) && !IsEmptyRegularFile(source))
            return Fail("could not open file");
        try {
            if (!PackData(file.data(), file.size(), preprocess, &container))
                return false;
        } catch (const std::bad_alloc &) {
            return Fail("out of memory");
        }
    }
    if (!WriteWholeFile(destination, container.Buffer(), container.Length()))
        return Fail("could not write output file");
    return true;
}

} // namespace patcher
