// An executable described as an ordered list of instructions that, laid end to end, reproduce the
// file; every 4-byte address the parser recognised is a reference to a label (its target).
// Both the patch generator and the patch applier build this from the same bytes, so the order of
// the instructions and the numbering of the labels are part of the patch format.
#pragma once

#include "patcher/executable_type.h"
#include "patcher/patch_status.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace patcher {

enum InstructionKind : uint8_t {
    INSN_ORIGIN = 0,
    INSN_PE_RELOCS = 1,
    INSN_ELF_RELOCS = 2,
    INSN_BYTE = 3,
    INSN_REL32 = 4,
    INSN_ABS32 = 5,
    INSN_ARM_REL32 = 6,
    INSN_ELF_ARM_RELOCS = 7,
    INSN_BYTES = 8,
};

struct Label {
    uint32_t rva = 0;
    int32_t index = -1; // -1 until AssignLabelIndexes
    int32_t count = 0;  // references made to it while parsing
};

// One instruction. Which fields mean something depends on the kind:
//   INSN_ORIGIN: rva; INSN_BYTE: byte; INSN_BYTES: data, size;
//   INSN_REL32 / INSN_ABS32: label; INSN_ARM_REL32: label, op, data, size.
// A large program has hundreds of thousands, so no kind needs both rva and size and they share
// their room.
struct Instruction {
    InstructionKind kind = INSN_ORIGIN;
    uint8_t byte = 0;
    uint16_t op = 0;
    union {
        uint32_t rva = 0;
        uint32_t size;
    };
    const uint8_t *data = nullptr; // points into the parsed input, which outlives the program
    Label *label = nullptr;
};
static_assert(sizeof(Instruction) <= 24, "instructions dominate a parsed program's memory");

// Labels by RVA, with the interface of an ordered map: looked up by hashing while parsing (a large
// program has hundreds of thousands), iterated in ascending RVA order.
class LabelMap {
public:
    using value_type = std::pair<const uint32_t, Label>;

    template <class Value> class Iterator {
    public:
        using Base = std::vector<value_type *>::const_iterator;
        explicit Iterator(Base it) : m_it(it) {}
        Value &operator*() const { return **m_it; }
        Value *operator->() const { return *m_it; }
        Iterator &operator++()
        {
            ++m_it;
            return *this;
        }
        bool operator==(const Iterator &other) const { return m_it == other.m_it; }
        bool operator!=(const Iterator &other) const { return m_it != other.m_it; }

    private:
        Base m_it;
    };
    using iterator = Iterator<value_type>;
    using const_iterator = Iterator<const value_type>;

    // The label at the RVA, created when absent; null when memory runs out.
    Label *FindOrAdd(uint32_t rva);
    const Label *Find(uint32_t rva) const;
    // The label at the RVA, which must exist (std::out_of_range otherwise).
    const Label &at(uint32_t rva) const { return m_labels.at(rva); }
    size_t size() const { return m_labels.size(); }
    bool empty() const { return m_labels.empty(); }
    // Makes room for n labels, when memory allows (a hint only).
    void Reserve(size_t n);

    // In ascending RVA order.
    iterator begin() { return iterator(Ordered().begin()); }
    iterator end() { return iterator(Ordered().end()); }
    const_iterator begin() const { return const_iterator(Ordered().begin()); }
    const_iterator end() const { return const_iterator(Ordered().end()); }

    // Removes the labels for which `remove(label)` is true.
    template <class Predicate> void EraseIf(Predicate remove)
    {
        m_ordered.erase(std::remove_if(m_ordered.begin(), m_ordered.end(),
                                       [&](const value_type *entry) { return remove(entry->second); }),
                        m_ordered.end());
        for (auto it = m_labels.begin(); it != m_labels.end();)
            it = remove(it->second) ? m_labels.erase(it) : std::next(it);
    }

private:
    // Sorts in place when labels were added since the last time; never allocates.
    const std::vector<value_type *> &Ordered() const;

    std::unordered_map<uint32_t, Label> m_labels; // nodes stay put: instructions point at them
    mutable std::vector<value_type *> m_ordered;  // every label
    mutable bool m_sorted = true;
};

class ParsedProgram {
public:
    explicit ParsedProgram(ExecutableType kind = EXE_UNKNOWN);
    ~ParsedProgram();
    ParsedProgram(const ParsedProgram &) = delete;
    ParsedProgram &operator=(const ParsedProgram &) = delete;

    ExecutableType kind() const { return m_kind; }
    void set_kind(ExecutableType kind) { m_kind = kind; }
    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t base) { m_imageBase = base; }

    // Each appends one instruction; false when memory runs out.
    bool AddOriginInsn(uint32_t rva);
    bool AddByteInsn(uint8_t value);
    bool AddBytesInsn(const uint8_t *data, size_t length);
    bool AddRel32Ref(Label *label);
    bool AddAbs32Ref(Label *label);
    bool AddArmRel32Ref(uint16_t op, Label *label, const uint8_t *insn, uint16_t size);
    bool AddPeRelocsInsn();
    bool AddElfRelocsInsn();
    bool AddElfArmRelocsInsn();

    // The label for the RVA, created on first use; counts one more reference. Null when memory
    // runs out.
    Label *Rel32LabelAt(uint32_t rva);
    Label *Abs32LabelAt(uint32_t rva);

    // Room for the labels of this many references (a hint only).
    void ReserveLabels(size_t abs32, size_t rel32)
    {
        m_abs32Labels.Reserve(abs32);
        m_rel32Labels.Reserve(rel32);
    }

    // Numbers the abs32 labels, then the rel32 labels, 0, 1, 2, ... in ascending RVA order.
    void AssignLabelIndexes();

    const std::vector<const Instruction *> &instructions() const { return m_instructions; }
    const LabelMap &rel32_labels() const { return m_rel32Labels; }
    const LabelMap &abs32_labels() const { return m_abs32Labels; }

private:
    friend PatchStatus TrimLabels(ParsedProgram *program);

    Instruction *NewInstruction(InstructionKind kind);
    bool Append(const Instruction *insn);
    bool MakeByteInstructions();

    ExecutableType m_kind;
    uint64_t m_imageBase = 0;
    std::vector<const Instruction *> m_instructions;
    std::deque<Instruction> m_owned; // every instruction but the shared byte ones; stable addresses
    std::unique_ptr<Instruction[]> m_byteInstructions; // 256, one per byte value, made on first use
    LabelMap m_rel32Labels;
    LabelMap m_abs32Labels;
};

// ARM programs only: drops relative labels referenced 5 times or fewer and turns their branches
// back into plain bytes. C_OK, or C_TRIM_FAILED.
PatchStatus TrimLabels(ParsedProgram *program);

} // namespace patcher
