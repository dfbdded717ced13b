#include "patcher/checksum.h"
#include "patcher/streams.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes written(const WriteStream &s)
{
    return Bytes(s.Buffer(), s.Buffer() + s.Length());
}
} // namespace

TEST(Varint, UnsignedEncodingsRoundTrip)
{
    const struct {
        uint32_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {20090218, {0xEA, 0x9A, 0xCA, 0x09}},
        {132781929, {0xE9, 0xAE, 0xA8, 0x3F}},
        {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto &c : cases) {
        WriteStream w;
        ASSERT_TRUE(w.WriteVarint(c.value));
        EXPECT_EQ(written(w), c.bytes) << c.value;
        ReadStream r(c.bytes.data(), c.bytes.size());
        uint32_t out = 1;
        ASSERT_TRUE(r.ReadVarint(&out));
        EXPECT_EQ(out, c.value);
        EXPECT_TRUE(r.Consumed());
    }
}

TEST(Varint, SignedMappingAndEncodings)
{
    const struct {
        int32_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {2, {0x04}},
        {INT32_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
        {INT32_MAX, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto &c : cases) {
        WriteStream w;
        ASSERT_TRUE(w.WriteSignedVarint(c.value));
        EXPECT_EQ(written(w), c.bytes) << c.value;
        ReadStream r(c.bytes.data(), c.bytes.size());
        int32_t out = 12345;
        ASSERT_TRUE(r.ReadSignedVarint(&out));
        EXPECT_EQ(out, c.value);
    }
}

TEST(Varint, FifthByteRulesAndTruncation)
{
    // High bits of the fifth byte are dropped.
    const Bytes dropped = {0xF0, 0xFF, 0xFF, 0xFF, 0x7F, 0xAA};
    ReadStream r(dropped.data(), dropped.size());
    uint32_t v = 0;
    ASSERT_TRUE(r.ReadVarint(&v));
    EXPECT_EQ(v, 0xFFFFFFF0u);
    EXPECT_EQ(r.Offset(), 5u);

    const std::vector<Bytes> rejected = {
        {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00}, // fifth byte wants a sixth
        {0x80, 0x80, 0x80, 0x80, 0xFF},
        {0x80}, // cut off
        {0xFF, 0xFF, 0xFF, 0xFF},
        {},
    };
    for (const Bytes &bytes : rejected) {
        ReadStream bad(bytes.data(), bytes.size());
        uint32_t out = 77;
        int32_t signedOut = 77;
        EXPECT_FALSE(bad.ReadVarint(&out));
        EXPECT_FALSE(bad.ReadSignedVarint(&signedOut));
        EXPECT_EQ(bad.Offset(), 0u);
        EXPECT_EQ(out, 77u);
    }
}

TEST(ReadStream, ReadsSkipsAndSlicesWithinBounds)
{
    const Bytes data = {1, 2, 3, 4, 5, 6};
    ReadStream r(data.data(), data.size());
    uint8_t buf[4] = {};
    ASSERT_TRUE(r.ReadBytes(buf, 2));
    EXPECT_EQ(buf[1], 2);
    EXPECT_FALSE(r.ReadBytes(buf, 5));
    EXPECT_FALSE(r.SkipBytes(5));
    ReadStream slice;
    EXPECT_FALSE(r.TakeSlice(5, &slice));
    EXPECT_EQ(r.Offset(), 2u);

    ASSERT_TRUE(r.TakeSlice(3, &slice));
    EXPECT_EQ(slice.Buffer(), data.data() + 2); // a view, not a copy
    EXPECT_EQ(slice.Remaining(), 3u);
    EXPECT_EQ(r.Remaining(), 1u);
    ASSERT_TRUE(r.SkipBytes(1));
    EXPECT_TRUE(r.Consumed());
    EXPECT_TRUE(r.ReadBytes(buf, 0));
    EXPECT_TRUE(r.TakeSlice(0, &slice));
    EXPECT_TRUE(slice.Consumed());
}

TEST(WriteStream, GrowthReserveAndAppend)
{
    WriteStream w;
    EXPECT_TRUE(w.WriteBytes("", 0));
    EXPECT_EQ(w.Capacity(), 0u); // nothing written, nothing allocated
    ASSERT_TRUE(w.WriteByte(7));
    EXPECT_EQ(w.Capacity(), 256u);
    const Bytes block(300, 0x5A);
    ASSERT_TRUE(w.WriteBytes(block.data(), block.size()));
    EXPECT_EQ(w.Capacity(), 512u); // doubled from 256
    EXPECT_EQ(w.Length(), 301u);

    ASSERT_TRUE(w.ReserveMore(1000));
    EXPECT_EQ(w.Capacity(), 1301u); // exactly length + n
    ASSERT_TRUE(w.ReserveMore(10));
    EXPECT_EQ(w.Capacity(), 1301u); // already large enough

    WriteStream small;
    ASSERT_TRUE(small.ReserveMore(3));
    EXPECT_EQ(small.Capacity(), 256u);

    WriteStream other;
    ASSERT_TRUE(other.WriteBytes("abc", 3));
    ASSERT_TRUE(w.AppendAndFree(&other));
    EXPECT_EQ(other.Length(), 0u);
    EXPECT_EQ(other.Buffer(), nullptr);
    EXPECT_EQ(w.Length(), 304u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(w.Buffer()) + 301, 3), "abc");
    EXPECT_EQ(w.Buffer()[0], 7);
    EXPECT_EQ(w.Buffer()[300], 0x5A);
}

TEST(WriteStream, FailedStateIsSticky)
{
    WriteStream w;
    ASSERT_TRUE(w.WriteBytes("data", 4));
    // Far more than any machine can give: the allocation fails instead of throwing.
    EXPECT_FALSE(w.ReserveMore(size_t(1) << 62));
    EXPECT_TRUE(w.Failed());
    EXPECT_EQ(w.Length(), 0u);
    EXPECT_EQ(w.Buffer(), nullptr);
    EXPECT_FALSE(w.WriteBytes("x", 1));
    EXPECT_FALSE(w.WriteVarint(1));
    EXPECT_FALSE(w.ReserveMore(1));
    WriteStream source;
    ASSERT_TRUE(source.WriteBytes("y", 1));
    EXPECT_FALSE(w.AppendAndFree(&source));
    EXPECT_EQ(w.Length(), 0u);

    // Overflowing length + n also fails rather than wrapping.
    WriteStream o;
    ASSERT_TRUE(o.WriteByte(1));
    EXPECT_FALSE(o.ReserveMore(SIZE_MAX));
    EXPECT_TRUE(o.Failed());

    // Appending a stream that lost its bytes is a failure, not an empty success.
    WriteStream target;
    EXPECT_FALSE(target.AppendAndFree(&w));
}

TEST(WriteStreamDeathTest, SizeBeyond32BitsEndsTheProcess)
{
    WriteStream w;
    EXPECT_TRUE(w.WriteSizeVarint(0xFFFFFFFFu));
    EXPECT_EXIT(w.WriteSizeVarint(size_t(1) << 32), ::testing::ExitedWithCode(1), "");
}

TEST(PatchChecksum, CheckValues)
{
    EXPECT_EQ(PatchChecksum("123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(PatchChecksum("abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(PatchChecksum(nullptr, 0), 0xFFFFFFFFu);
}

// zlib's CRC-32 as the witness: the patcher's value is its register before the final complement.
// Every short length at every alignment (word-at-a-time code paths differ there), and a long run.
TEST(PatchChecksum, MatchesZlibAtEveryLengthAndAlignment)
{
    std::vector<uint8_t> data(1 << 20);
    uint32_t x = 0x9E3779B9u;
    for (uint8_t &b : data) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    const auto witness = [&](size_t offset, size_t n) {
        return ~uint32_t(crc32(0, data.data() + offset, unsigned(n)));
    };
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t n = 0; n <= 80; ++n)
            ASSERT_EQ(PatchChecksum(data.data() + offset, n), witness(offset, n)) << offset << " " << n;
    EXPECT_EQ(PatchChecksum(data.data() + 3, data.size() - 3), witness(3, data.size() - 3));
}
