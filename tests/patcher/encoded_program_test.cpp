#include "patcher/encoded_program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;
using U32s = std::vector<uint32_t>;

namespace {

template <typename T> std::vector<T> toVector(const GrowableArray<T> &a)
{
    return std::vector<T>(a.begin(), a.end());
}

Bytes assembled(const EncodedProgram &program, PatchStatus expected = C_OK)
{
    WriteStream out;
    EXPECT_EQ(AssembleProgram(program, &out), expected);
    return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

uint32_t u32At(const Bytes &b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

uint16_t u16At(const Bytes &b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// Serialises into a fresh ten-stream set and returns the combined blob.
Bytes serialized(const EncodedProgram &program)
{
    WriteStreamSet set;
    EXPECT_EQ(SerializeEncodedProgram(program, &set), C_OK);
    WriteStream blob;
    EXPECT_TRUE(set.Serialize(&blob));
    return Bytes(blob.Buffer(), blob.Buffer() + blob.Length());
}

} // namespace

TEST(EncodedProgram, CopyRunsAreFolded)
{
    const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44, 0x55};
    EncodedProgram p;
    ASSERT_TRUE(p.AppendOrigin(0x1000));
    ASSERT_TRUE(p.AppendCopy(1, bytes));
    EXPECT_EQ(toVector(p.ops()), (U32s{OP_ORIGIN, OP_COPY_ONE}));
    EXPECT_TRUE(p.copy_counts().empty());
    ASSERT_TRUE(p.AppendCopy(1, bytes + 1));
    ASSERT_TRUE(p.AppendCopy(1, bytes + 2));
    EXPECT_EQ(toVector(p.ops()), (U32s{OP_ORIGIN, OP_COPY}));
    EXPECT_EQ(toVector(p.copy_counts()), (U32s{3}));
    ASSERT_TRUE(p.AppendCopy(2, bytes + 3));
    EXPECT_EQ(toVector(p.copy_counts()), (U32s{5}));

    ASSERT_TRUE(p.AppendRel32(0));
    ASSERT_TRUE(p.AppendCopy(2, bytes));
    ASSERT_TRUE(p.AppendAbs32(0));
    ASSERT_TRUE(p.AppendCopy(1, bytes + 4));
    EXPECT_EQ(toVector(p.ops()), (U32s{OP_ORIGIN, OP_COPY, OP_REL32, OP_COPY, OP_ABS32, OP_COPY_ONE}));
    EXPECT_EQ(toVector(p.copy_counts()), (U32s{5, 2}));
    EXPECT_EQ(toVector(p.copy_bytes()), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x11, 0x22, 0x55}));
}

TEST(EncodedProgram, RelocationTableOpsByType)
{
    EncodedProgram p;
    ASSERT_TRUE(p.AppendPeRelocTable(EXE_WIN_32_X86));
    ASSERT_TRUE(p.AppendPeRelocTable(EXE_WIN_32_X64));
    ASSERT_TRUE(p.AppendElfRelocTable());
    ASSERT_TRUE(p.AppendElfArmRelocTable());
    ASSERT_TRUE(p.AppendArmRel32(0x30EB, 7));
    EXPECT_EQ(toVector(p.ops()),
              (U32s{OP_PE_RELOCS, OP_PE64_RELOCS, OP_ELF_RELOCS, OP_ELF_ARM_RELOCS, 0x30EB}));
    EXPECT_EQ(toVector(p.rel32_indexes()), (U32s{7}));
}

TEST(EncodedProgram, AddressTablesFillMarkersFromTheSlotBefore)
{
    EncodedProgram p;
    ASSERT_TRUE(p.SetRel32Address(0, 5));
    ASSERT_TRUE(p.SetRel32Address(2, 9));
    ASSERT_TRUE(p.SetRel32Address(3, kUnassignedAddress));
    EXPECT_EQ(toVector(p.rel32_addresses()), (U32s{5, kUnassignedAddress, 9, kUnassignedAddress}));
    ASSERT_TRUE(p.SetAbs32Address(2, 0x40));
    ASSERT_TRUE(p.SetAbs32Address(1, 0x30));
    p.FinishAddressTables();
    EXPECT_EQ(toVector(p.rel32_addresses()), (U32s{5, 5, 9, 9}));
    EXPECT_EQ(toVector(p.abs32_addresses()), (U32s{0, 0x30, 0x40}));
}

TEST(EncodedProgram, AssemblesCopiesReferencesAndOrigins)
{
    const uint8_t code[] = {0x90, 0xE8, 0xC3};
    EncodedProgram p(0x400000);
    ASSERT_TRUE(p.SetRel32Address(0, 0x0FF0));
    ASSERT_TRUE(p.SetRel32Address(1, 0x2000));
    ASSERT_TRUE(p.SetAbs32Address(0, 0x3004));
    ASSERT_TRUE(p.AppendOrigin(0x1000));
    ASSERT_TRUE(p.AppendRel32(0)); // at 0x1000, to 0x0FF0
    ASSERT_TRUE(p.AppendCopy(2, code));
    ASSERT_TRUE(p.AppendRel32(1)); // at 0x1006, to 0x2000
    ASSERT_TRUE(p.AppendAbs32(0));
    ASSERT_TRUE(p.AppendOrigin(0x5000)); // origins move the RVA, not the output
    ASSERT_TRUE(p.AppendRel32(1));
    ASSERT_TRUE(p.AppendCopy(1, code + 2));
    const Bytes out = assembled(p);
    ASSERT_EQ(out.size(), 4u + 2 + 4 + 4 + 4 + 1);
    EXPECT_EQ(u32At(out, 0), 0xFFFFFFECu);
    EXPECT_EQ(out[4], 0x90);
    EXPECT_EQ(out[5], 0xE8);
    EXPECT_EQ(u32At(out, 6), 0x2000u - 0x100Au);
    EXPECT_EQ(u32At(out, 10), 0x403004u);
    EXPECT_EQ(u32At(out, 14), 0x2000u - 0x5004u);
    EXPECT_EQ(out[18], 0xC3);

    // Only the low 32 bits of a 64-bit image base take part.
    EncodedProgram wide(0x140000000ull);
    ASSERT_TRUE(wide.SetAbs32Address(0, 0x10));
    ASSERT_TRUE(wide.AppendAbs32(0));
    EXPECT_EQ(u32At(assembled(wide), 0), 0x40000010u);
}

TEST(EncodedProgram, PeRelocationBlocksPerPage)
{
    const uint8_t pad[0x20] = {};
    EncodedProgram p(0x10000000);
    ASSERT_TRUE(p.SetAbs32Address(0, 0x100));
    ASSERT_TRUE(p.AppendOrigin(0x1000));
    // Three references in page 0x1000 (emitted out of order) and two in page 0x3000.
    ASSERT_TRUE(p.AppendOrigin(0x1010));
    ASSERT_TRUE(p.AppendAbs32(0));
    ASSERT_TRUE(p.AppendOrigin(0x1004));
    ASSERT_TRUE(p.AppendAbs32(0));
    ASSERT_TRUE(p.AppendCopy(0x20, pad));
    ASSERT_TRUE(p.AppendAbs32(0)); // at 0x1028
    ASSERT_TRUE(p.AppendPeRelocTable(EXE_WIN_32_X86));
    ASSERT_TRUE(p.AppendCopy(3, pad));
    ASSERT_TRUE(p.AppendOrigin(0x3FF8));
    ASSERT_TRUE(p.AppendAbs32(0));
    ASSERT_TRUE(p.AppendOrigin(0x3000));
    ASSERT_TRUE(p.AppendAbs32(0));
    const Bytes out = assembled(p);
    // Code before the table: 4 + 4 + 0x20 + 4 bytes; then the table; then 3 + 4 + 4 bytes.
    const size_t table = 4 + 4 + 0x20 + 4;
    EXPECT_EQ(u32At(out, table), 0x1000u);
    EXPECT_EQ(u32At(out, table + 4), 16u);
    EXPECT_EQ(u16At(out, table + 8), 0x3004);
    EXPECT_EQ(u16At(out, table + 10), 0x3010);
    EXPECT_EQ(u16At(out, table + 12), 0x3028);
    EXPECT_EQ(u16At(out, table + 14), 0x0000);
    EXPECT_EQ(u32At(out, table + 16), 0x3000u);
    EXPECT_EQ(u32At(out, table + 20), 12u);
    EXPECT_EQ(u16At(out, table + 24), 0x3000);
    EXPECT_EQ(u16At(out, table + 26), 0x3FF8);
    ASSERT_EQ(out.size(), table + 28 + 3 + 8);
    EXPECT_EQ(u32At(out, table + 28 + 3), 0x10000100u);

    EncodedProgram p64;
    ASSERT_TRUE(p64.SetAbs32Address(0, 0));
    ASSERT_TRUE(p64.AppendPeRelocTable(EXE_WIN_32_X64));
    ASSERT_TRUE(p64.AppendOrigin(0x2468));
    ASSERT_TRUE(p64.AppendAbs32(0));
    const Bytes out64 = assembled(p64);
    ASSERT_EQ(out64.size(), 12u + 4);
    EXPECT_EQ(u32At(out64, 4), 12u);
    EXPECT_EQ(u16At(out64, 8), 0xA468);
}

TEST(EncodedProgram, ElfRelocationEntries)
{
    for (bool arm : {false, true}) {
        EncodedProgram p(0);
        ASSERT_TRUE(p.SetAbs32Address(0, 0x8000));
        ASSERT_TRUE(arm ? p.AppendElfArmRelocTable() : p.AppendElfRelocTable());
        ASSERT_TRUE(p.AppendOrigin(0x200));
        ASSERT_TRUE(p.AppendAbs32(0));
        ASSERT_TRUE(p.AppendOrigin(0x100));
        ASSERT_TRUE(p.AppendAbs32(0));
        const Bytes out = assembled(p);
        ASSERT_EQ(out.size(), 16u + 8);
        EXPECT_EQ(u32At(out, 0), 0x100u);
        EXPECT_EQ(u32At(out, 4), arm ? 23u : 8u);
        EXPECT_EQ(u32At(out, 8), 0x200u);
        EXPECT_EQ(u32At(out, 16), 0x8000u);
    }
}

TEST(EncodedProgram, ArmBranchesAreRebuilt)
{
    // Hand-encoded instructions and the compressed ops that stand for them.
    const struct {
        const char *what;
        uint32_t op;
        uint32_t at;
        uint32_t target;
        Bytes bytes;
    } cases[] = {
        {"Thumb BEQ +10", 0x10D0, 0x100, 0x10E, {0x05, 0xD0}},
        {"Thumb BEQ back", 0x10D0, 0x100, 0x0FC, {0xFC, 0xD0}},
        {"Thumb B +0x20", 0x201C, 0x100, 0x120, {0x0E, 0xE0}},
        {"ARM BL", 0x30EB, 0x1000, 0x2000, {0xFE, 0x03, 0x00, 0xEB}},
        {"ARM B back", 0x30EA, 0x1000, 0x0FF8, {0xFC, 0xFF, 0xFF, 0xEA}},
        {"Thumb-2 BL", 0x44F7, 0x8000, 0x9000, {0x00, 0xF0, 0xFE, 0xFF}},
        {"Thumb-2 BL back", 0x44F7, 0x8000, 0x7000, {0xFE, 0xF7, 0xFE, 0xFF}},
        {"Thumb-2 BNE.W", 0x5001, 0x8000, 0x8100, {0x40, 0xF0, 0x7E, 0x80}},
    };
    for (const auto &c : cases) {
        EncodedProgram p;
        ASSERT_TRUE(p.SetRel32Address(0, c.target));
        ASSERT_TRUE(p.AppendOrigin(c.at));
        ASSERT_TRUE(p.AppendArmRel32(c.op, 0));
        ASSERT_TRUE(p.AppendRel32(0)); // the RVA advanced by the instruction's size
        const Bytes out = assembled(p);
        ASSERT_EQ(out.size(), c.bytes.size() + 4) << c.what;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.bytes.size()), c.bytes) << c.what;
        EXPECT_EQ(u32At(out, c.bytes.size()), c.target - (c.at + uint32_t(c.bytes.size()) + 4)) << c.what;
    }
}

TEST(EncodedProgram, AssemblyFailures)
{
    struct Case {
        const char *what;
        void (*build)(EncodedProgram *);
    };
    const Case cases[] = {
        {"two PE relocation ops",
         [](EncodedProgram *p) {
             p->AppendPeRelocTable(EXE_WIN_32_X86);
             p->AppendPeRelocTable(EXE_WIN_32_X64);
         }},
        {"two ELF relocation ops",
         [](EncodedProgram *p) {
             p->AppendElfRelocTable();
             p->AppendElfArmRelocTable();
         }},
        {"rel32 index past the table",
         [](EncodedProgram *p) {
             p->SetRel32Address(0, 1);
             p->AppendRel32(1);
         }},
        {"abs32 index past the table", [](EncodedProgram *p) { p->AppendAbs32(0); }},
        {"ARM op without an address", [](EncodedProgram *p) { p->AppendArmRel32(0x3000, 0); }},
        {"unknown op", [](EncodedProgram *p) { p->AppendArmRel32(0x6000, 0); }},
        {"op between the table ops and ARM ops",
         [](EncodedProgram *p) {
             p->SetRel32Address(0, 1);
             p->AppendArmRel32(9, 0);
         }},
    };
    for (const Case &c : cases) {
        EncodedProgram p;
        c.build(&p);
        WriteStream out;
        EXPECT_EQ(AssembleProgram(p, &out), C_ASSEMBLY_FAILED) << c.what;
    }
    // Leftover origins are allowed.
    EncodedProgram origins;
    ASSERT_TRUE(origins.AppendOrigin(1));
    EXPECT_EQ(assembled(origins).size(), 0u);
}

TEST(EncodedProgram, LeftoverCopyCountOrByteFailsAssembly)
{
    const uint8_t code[] = {1, 2};
    EncodedProgram p;
    ASSERT_TRUE(p.AppendCopy(2, code));
    for (int spoil = 0; spoil < 3; ++spoil) {
        WriteStreamSet set;
        ASSERT_EQ(SerializeEncodedProgram(p, &set), C_OK);
        if (spoil == 0) { // one copy count more than the ops use
            set.stream(7)->Clear();
            set.stream(7)->WriteVarint(2);
            set.stream(7)->WriteVarint(2);
            set.stream(7)->WriteVarint(2);
        } else if (spoil == 1) { // one copy byte more
            set.stream(2)->Clear();
            set.stream(2)->WriteVarint(3);
            set.stream(2)->WriteBytes("\1\2\3", 3);
        }
        WriteStream blob;
        ASSERT_TRUE(set.Serialize(&blob));
        ReadStreamSet in;
        ASSERT_TRUE(in.Parse(blob.Buffer(), blob.Length()));
        EncodedProgram back;
        ASSERT_EQ(DeserializeEncodedProgram(&in, &back), C_OK);
        WriteStream out;
        EXPECT_EQ(AssembleProgram(back, &out), spoil == 2 ? C_OK : C_ASSEMBLY_FAILED) << spoil;
    }
}

TEST(EncodedProgram, SerializedStreamsAndRoundTrip)
{
    const uint8_t code[] = {0xAA, 0xBB, 0xCC};
    EncodedProgram p(0x1234567800401000ull);
    ASSERT_TRUE(p.SetAbs32Address(0, 0x2000));
    ASSERT_TRUE(p.SetAbs32Address(1, 0x1000)); // deltas wrap modulo 2^32
    ASSERT_TRUE(p.SetRel32Address(0, 0x300));
    ASSERT_TRUE(p.SetRel32Address(1, 0x380));
    ASSERT_TRUE(p.AppendOrigin(0x1000));
    ASSERT_TRUE(p.AppendCopy(3, code));
    ASSERT_TRUE(p.AppendAbs32(1));
    ASSERT_TRUE(p.AppendRel32(1));
    ASSERT_TRUE(p.AppendCopy(1, code));
    ASSERT_TRUE(p.AppendElfRelocTable());

    WriteStreamSet set;
    ASSERT_EQ(SerializeEncodedProgram(p, &set), C_OK);
    auto bytesOf = [&](size_t i) {
        const WriteStream *s = set.stream(i);
        return Bytes(s->Buffer(), s->Buffer() + s->Length());
    };
    EXPECT_EQ(bytesOf(0), (Bytes{0x80, 0xA0, 0x80, 0x02, 0x01, 0x80, 0x20}));
    EXPECT_EQ(bytesOf(1), (Bytes{6, OP_ORIGIN, OP_COPY, OP_ABS32, OP_REL32, OP_COPY_ONE, OP_ELF_RELOCS}));
    EXPECT_EQ(bytesOf(2), (Bytes{4, 0xAA, 0xBB, 0xCC, 0xAA}));
    EXPECT_EQ(bytesOf(3), (Bytes{1, 1}));
    EXPECT_EQ(bytesOf(4), (Bytes{1, 1}));
    EXPECT_EQ(bytesOf(5), (Bytes{2, 0x80, 0x40, 0x80, 0xE0, 0xFF, 0xFF, 0x0F}));
    EXPECT_EQ(bytesOf(6), (Bytes{2, 0x80, 0x06, 0x80, 0x01}));
    EXPECT_EQ(bytesOf(7), (Bytes{1, 3}));
    EXPECT_EQ(bytesOf(8), Bytes{});

    const Bytes blob = serialized(p);
    ReadStreamSet in;
    ASSERT_TRUE(in.Parse(blob.data(), blob.size()));
    EncodedProgram back;
    ASSERT_EQ(DeserializeEncodedProgram(&in, &back), C_OK);
    EXPECT_EQ(back.image_base(), 0x00401000u);
    EXPECT_EQ(toVector(back.abs32_addresses()), toVector(p.abs32_addresses()));
    EXPECT_EQ(toVector(back.rel32_addresses()), toVector(p.rel32_addresses()));
    EXPECT_EQ(toVector(back.ops()), toVector(p.ops()));
    EXPECT_EQ(toVector(back.copy_bytes()), toVector(p.copy_bytes()));
    EXPECT_EQ(assembled(back), assembled(p));
}

TEST(EncodedProgram, DeserializeRejectsInvalidStreams)
{
    const uint8_t code[] = {1, 2, 3};
    EncodedProgram p(0x400000);
    ASSERT_TRUE(p.SetRel32Address(0, 0x10));
    ASSERT_TRUE(p.AppendCopy(3, code));
    ASSERT_TRUE(p.AppendRel32(0));

    // Builds the ten streams, lets `spoil` change one, and tries to read the result back.
    auto attempt = [&](void (*spoil)(WriteStreamSet *)) {
        WriteStreamSet set;
        EXPECT_EQ(SerializeEncodedProgram(p, &set), C_OK);
        spoil(&set);
        WriteStream blob;
        EXPECT_TRUE(set.Serialize(&blob));
        ReadStreamSet in;
        EXPECT_TRUE(in.Parse(blob.Buffer(), blob.Length()));
        EncodedProgram out;
        const PatchStatus status = DeserializeEncodedProgram(&in, &out);
        if (status != C_OK) {
            EXPECT_TRUE(out.ops().empty() && out.copy_bytes().empty() && out.rel32_addresses().empty());
        }
        return status;
    };
    EXPECT_EQ(attempt([](WriteStreamSet *) {}), C_OK);
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->stream(4)->WriteByte(0); }), C_DESERIALIZATION_FAILED);
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->stream(8)->WriteByte(0); }), C_DESERIALIZATION_FAILED);
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->stream(9)->WriteByte(0); }),
              C_OK); // stream 9 is not checked
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->SetCount(7); }), C_DESERIALIZATION_FAILED);
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->SetCount(8); }), C_OK);
    // A count far beyond the bytes present is refused before any memory is reserved.
    EXPECT_EQ(attempt([](WriteStreamSet *s) {
                  s->stream(1)->Clear();
                  s->stream(1)->WriteVarint(0xFFFFFFFF);
              }),
              C_DESERIALIZATION_FAILED);
    EXPECT_EQ(attempt([](WriteStreamSet *s) {
                  s->stream(2)->Clear();
                  s->stream(2)->WriteVarint(4);
                  s->stream(2)->WriteBytes("abc", 3);
              }),
              C_DESERIALIZATION_FAILED);
    EXPECT_EQ(attempt([](WriteStreamSet *s) { s->stream(6)->Clear(); }), C_DESERIALIZATION_FAILED);
}
