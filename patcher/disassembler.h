// Executable parsers: the common base, the shared scan for x86 branch and call forms, and
// detection, which tries every parser's header check in a fixed order.
#pragma once

#include "patcher/executable_type.h"
#include "patcher/parsed_program.h"
#include "patcher/patch_status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace patcher {

// Little-endian reads; the caller has checked the bounds.
inline uint16_t ReadLE16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ReadLE32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadLE64(const uint8_t *p)
{
    return ReadLE32(p) | (static_cast<uint64_t>(ReadLE32(p + 4)) << 32);
}

class Disassembler {
public:
    Disassembler(const uint8_t *start, size_t length);
    virtual ~Disassembler();
    Disassembler(const Disassembler &) = delete;
    Disassembler &operator=(const Disassembler &) = delete;

    virtual ExecutableType GetKind() const { return EXE_UNKNOWN; }
    // Checks the headers; on failure the reason of the first failed check is kept.
    virtual bool CheckHeader() = 0;
    virtual bool ParseProgram(ParsedProgram *program) = 0;

    // "uninitialized" until CheckHeader succeeds, then empty.
    const std::string &failure_reason() const { return m_failureReason; }
    // The element's length; the header check may shrink it to what the headers describe.
    uint64_t length() const { return m_length; }
    const uint8_t *start() const { return m_start; }

protected:
    bool Good();
    bool Bad(const char *reason);
    bool Ready() const { return m_failureReason.empty(); }
    void ShrinkLength(uint64_t extent);
    // Whether [offset, offset + size) lies inside the element (no overflow).
    bool IsInside(uint64_t offset, uint64_t size) const
    {
        return offset <= m_length && size <= m_length - offset;
    }

    const uint8_t *m_start;
    const uint8_t *m_end;
    uint64_t m_length;

private:
    std::string m_failureReason;
};

// The x86 branch, call and RIP-relative forms that may carry a 4-byte relative reference.
struct Rel32Candidate {
    uint32_t offset; // of the 4-byte value from the instruction start; 0 when no candidate
    bool data;       // FF 15 / FF 25 / 48|49 8B|8D modrm 05: a data reference rather than code
};

// Looks at the instruction start p (end is one past the scanned bytes). Finds E8, E9 and
// 0F 80..8F (but 8A, 8B); with x64 also FF 15, FF 25 and 48|49 8B|8D with modrm & 0xC7 == 05.
// Inline: the scans call it for every byte.
inline Rel32Candidate FindRel32Candidate(const uint8_t *p, const uint8_t *end, bool x64)
{
    const size_t left = static_cast<size_t>(end - p);
    const uint8_t b0 = p[0];
    if (b0 == 0xE8 || b0 == 0xE9)
        return {left >= 5 ? 1u : 0u, false};
    if (left < 2)
        return {0, false};
    const uint8_t b1 = p[1];
    if (b0 == 0x0F)
        return {left >= 6 && (b1 & 0xF0) == 0x80 && b1 != 0x8A && b1 != 0x8B ? 2u : 0u, false};
    if (!x64)
        return {0, false};
    if (b0 == 0xFF)
        return {left >= 6 && (b1 == 0x15 || b1 == 0x25) ? 2u : 0u, true};
    if ((b0 == 0x48 || b0 == 0x49) && (b1 == 0x8B || b1 == 0x8D))
        return {left >= 7 && (p[2] & 0xC7) == 0x05 ? 3u : 0u, true};
    return {0, false};
}

enum ScanVerdict { SCAN_REJECT, SCAN_ACCEPT, SCAN_FAIL };

// Walks [start, end) for the candidate forms; `judge(reference, candidate)` decides each one.
// After an accepted reference the walk goes on behind its 4 bytes, otherwise at the next byte.
// False when the judge fails.
template <class Judge> bool ScanForRel32(const uint8_t *start, const uint8_t *end, bool x64, Judge judge)
{
    const uint8_t *p = start;
    while (p < end) {
        const Rel32Candidate candidate = FindRel32Candidate(p, end, x64);
        if (candidate.offset == 0) {
            ++p;
            continue;
        }
        const uint8_t *reference = p + candidate.offset;
        switch (judge(reference, candidate)) {
        case SCAN_ACCEPT:
            p = reference + 4;
            break;
        case SCAN_REJECT:
            ++p;
            break;
        default:
            return false;
        }
    }
    return true;
}

// What a PE or Mach-O region replaces by references.
struct RegionReferences {
    const std::vector<uint32_t> *abs32 = nullptr; // sorted RVAs of absolute references, or none
    const std::vector<uint32_t> *rel32 = nullptr; // sorted RVAs of relative references
    uint32_t imageBase = 0;                       // subtracted from absolute values
    bool hasRelocTable = false;                   // the base relocation table may lie here
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
};

// Emits the element's bytes [begin, end) as a region at `regionRva`: an origin, then the bytes,
// except for the relocation table (one instruction, its bytes skipped) and the 4 bytes at each
// reference.
bool EmitByteRegion(ParsedProgram *program, const uint8_t *start, uint64_t begin, uint64_t end,
                    uint32_t regionRva, const RegionReferences &refs);

// Makes the parser for a known kind (Mach-O: either Mach-O kind gives the Mach-O parser).
std::unique_ptr<Disassembler> MakeDisassembler(ExecutableType kind, const uint8_t *bytes, size_t length);

// Tries the parsers in their fixed order. C_OK with the kind and the (possibly shrunk) length, or
// C_INPUT_NOT_RECOGNIZED with EXE_UNKNOWN and 0. `reasons`, when given, receives each parser's
// failure text in the order tried.
PatchStatus DetectExecutable(const uint8_t *bytes, size_t length, ExecutableType *type,
                             size_t *detectedLength, std::vector<std::string> *reasons = nullptr);

// One executable inside a file.
struct ExecutableElement {
    size_t offset = 0;
    size_t length = 0;
    ExecutableType type = EXE_UNKNOWN;
};

// The executables inside a file: the supported architectures of a fat Mach-O file (at least
// 4096 bytes, at most 8 architectures), else the whole file when it is an executable. The scan
// of a fat file stops at an entry that reaches past the end, overlaps an element already found
// or is shorter than its parsed length; the whole file is then tried as well. Empty when none;
// false only when memory runs out.
bool FindExecutableElements(const uint8_t *bytes, size_t length, std::vector<ExecutableElement> *elements);

// Detects and parses. C_INPUT_NOT_RECOGNIZED, C_DISASSEMBLY_FAILED, or C_OK with the program.
// The program points into `bytes`, which must outlive it.
PatchStatus DisassembleExecutable(const uint8_t *bytes, size_t length,
                                  std::unique_ptr<ParsedProgram> *program);

} // namespace patcher
