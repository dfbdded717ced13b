// An executable split into tables that compress and difference well (operations, literal bytes and
// the addresses the code refers to), its serialised form, and assembly back into executable bytes.
#ifndef PATCHER_ENCODED_PROGRAM_H
#define PATCHER_ENCODED_PROGRAM_H

#include "patcher/executable_type.h"
#include "patcher/growable_array.h"
#include "patcher/patch_status.h"
#include "patcher/stream_set.h"
#include "patcher/streams.h"

#include <cstddef>
#include <cstdint>

namespace patcher {

enum EncodedOp : uint32_t {
    OP_ORIGIN = 0,
    OP_COPY = 1,
    OP_COPY_ONE = 2,
    OP_REL32 = 3,
    OP_ABS32 = 4,
    OP_PE_RELOCS = 5,
    OP_ELF_RELOCS = 6,
    OP_ELF_ARM_RELOCS = 7,
    OP_PE64_RELOCS = 8,
};

// Kinds of compressed ARM branch (bits 12 to 15 of an ARM operation value).
enum ArmBranchKind : uint32_t {
    THUMB_B8 = 0x1000,
    THUMB_B11 = 0x2000,
    ARM_B24 = 0x3000,
    THUMB2_BL25 = 0x4000,
    THUMB2_BCC21 = 0x5000,
};

// Marks an address-table slot that no label has filled yet.
const uint32_t kUnassignedAddress = 0xFFFFFFFFu;

class EncodedProgram {
public:
    EncodedProgram() = default;
    explicit EncodedProgram(uint64_t imageBase) : m_imageBase(imageBase) {}
    EncodedProgram(EncodedProgram &&) = default;
    EncodedProgram &operator=(EncodedProgram &&) = default;

    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t base) { m_imageBase = base; }

    // Building calls; each returns false only when memory runs out.
    bool AppendOrigin(uint32_t rva);
    // Adds literal bytes, folding runs into one OP_COPY.
    bool AppendCopy(size_t count, const uint8_t *bytes);
    bool AppendRel32(uint32_t labelIndex);
    bool AppendAbs32(uint32_t labelIndex);
    bool AppendArmRel32(uint32_t compressedOp, uint32_t labelIndex);
    // OP_PE_RELOCS for WIN_32_X86, OP_PE64_RELOCS for every other type.
    bool AppendPeRelocTable(ExecutableType type);
    bool AppendElfRelocTable();
    bool AppendElfArmRelocTable();

    // Store an address by label index, growing the table with kUnassignedAddress slots.
    bool SetRel32Address(uint32_t index, uint32_t rva);
    bool SetAbs32Address(uint32_t index, uint32_t rva);
    // Gives every unassigned slot the value of the slot before it (0 for a leading slot).
    void FinishAddressTables();

    // Frees every table.
    void Clear();

    const GrowableArray<uint32_t> &rel32_addresses() const { return m_rel32Addresses; }
    const GrowableArray<uint32_t> &abs32_addresses() const { return m_abs32Addresses; }
    const GrowableArray<uint32_t> &ops() const { return m_ops; }
    const GrowableArray<uint32_t> &origins() const { return m_origins; }
    const GrowableArray<uint32_t> &copy_counts() const { return m_copyCounts; }
    const GrowableArray<uint8_t> &copy_bytes() const { return m_copyBytes; }
    const GrowableArray<uint32_t> &rel32_indexes() const { return m_rel32Indexes; }
    const GrowableArray<uint32_t> &abs32_indexes() const { return m_abs32Indexes; }

private:
    friend PatchStatus DeserializeEncodedProgram(ReadStreamSet *streams, EncodedProgram *program);

    uint64_t m_imageBase = 0;
    GrowableArray<uint32_t> m_rel32Addresses;
    GrowableArray<uint32_t> m_abs32Addresses;
    GrowableArray<uint32_t> m_ops;
    GrowableArray<uint32_t> m_origins;
    GrowableArray<uint32_t> m_copyCounts;
    GrowableArray<uint8_t> m_copyBytes;
    GrowableArray<uint32_t> m_rel32Indexes;
    GrowableArray<uint32_t> m_abs32Indexes;
};

// Writes the program into streams 0 to 7 of `streams`: C_OK, or C_STREAM_ERROR when a write fails.
PatchStatus SerializeEncodedProgram(const EncodedProgram &program, WriteStreamSet *streams);

// Reads a program back: C_OK, or C_DESERIALIZATION_FAILED when the streams are not a valid encoded
// program (then `program` is left empty).
PatchStatus DeserializeEncodedProgram(ReadStreamSet *streams, EncodedProgram *program);

// Appends the executable's bytes, with a regenerated relocation table, to `out`: C_OK, or
// C_ASSEMBLY_FAILED (bytes already appended are then to be discarded by the caller).
PatchStatus AssembleProgram(const EncodedProgram &program, WriteStream *out);

} // namespace patcher

#endif
