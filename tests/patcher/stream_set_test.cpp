#include "patcher/stream_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes written(const WriteStream &s)
{
    return Bytes(s.Buffer(), s.Buffer() + s.Length());
}

std::string rest(const ReadStream *s)
{
    return std::string(reinterpret_cast<const char *>(s->Buffer()), s->Remaining());
}

void put(WriteStream *s, const std::string &text)
{
    ASSERT_TRUE(s->WriteBytes(text.data(), text.size()));
}
} // namespace

TEST(StreamSet, SerializeAndParseRoundTrip)
{
    WriteStreamSet set;
    ASSERT_TRUE(set.SetCount(3));
    EXPECT_EQ(set.stream(3), nullptr);
    put(set.stream(0), "ab");
    put(set.stream(2), "cde");
    WriteStream combined;
    ASSERT_TRUE(combined.WriteByte(0xEE)); // serialising appends
    ASSERT_TRUE(set.Serialize(&combined));
    EXPECT_EQ(written(combined), (Bytes{0xEE, 0xEA, 0x9A, 0xCA, 0x09, 3, 2, 0, 3, 'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(set.stream(0)->Length(), 0u); // streams are freed once copied

    ReadStream whole = combined.AsReadStream();
    ASSERT_TRUE(whole.SkipBytes(1));
    ReadStreamSet parsed;
    ASSERT_TRUE(parsed.Parse(whole));
    EXPECT_EQ(whole.Offset(), 1u); // the source does not advance
    EXPECT_EQ(parsed.count(), 3u);
    EXPECT_EQ(rest(parsed.stream(0)), "ab");
    EXPECT_EQ(parsed.stream(1)->Remaining(), 0u);
    EXPECT_EQ(rest(parsed.stream(2)), "cde");
    EXPECT_EQ(parsed.stream(0)->Buffer(), combined.Buffer() + 9); // in place
    EXPECT_EQ(parsed.stream(3), nullptr);
    EXPECT_FALSE(parsed.AllConsumed());
    ASSERT_TRUE(parsed.stream(0)->SkipBytes(2));
    ASSERT_TRUE(parsed.stream(2)->SkipBytes(3));
    EXPECT_TRUE(parsed.AllConsumed());
}

TEST(StreamSet, FreshSetsHaveTenEmptyStreams)
{
    WriteStreamSet set;
    EXPECT_EQ(set.count(), kMaxStreams);
    EXPECT_FALSE(set.SetCount(11));
    WriteStream combined;
    ASSERT_TRUE(set.Serialize(&combined));
    EXPECT_EQ(written(combined), (Bytes{0xEA, 0x9A, 0xCA, 0x09, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ReadStreamSet fresh;
    EXPECT_EQ(fresh.count(), kMaxStreams);
    EXPECT_TRUE(fresh.AllConsumed());
}

TEST(StreamSet, ParseRejectsMalformedSets)
{
    const struct {
        const char *what;
        Bytes bytes;
        bool ok;
    } cases[] = {
        {"empty set", {0xEA, 0x9A, 0xCA, 0x09, 0x00}, true},
        {"one stream", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 'x', 'y'}, true},
        {"ten streams", {0xEA, 0x9A, 0xCA, 0x09, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'z'}, true},
        {"count 11", {0xEA, 0x9A, 0xCA, 0x09, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"one byte short", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 'x'}, false},
        {"one byte over", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x02, 'x', 'y', 'z'}, false},
        {"bytes after an empty set", {0xEA, 0x9A, 0xCA, 0x09, 0x00, 0x00}, false},
        {"wrong magic", {0xEA, 0x9A, 0xCA, 0x08, 0x00}, false},
        {"no bytes", {}, false},
        {"lengths cut off", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01}, false},
        // Lengths whose 32-bit sum wraps to the data size must not pass.
        {"sum wraps", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x02, 'x'}, false},
    };
    for (const auto &c : cases) {
        ReadStreamSet set;
        EXPECT_EQ(set.Parse(c.bytes.data(), c.bytes.size()), c.ok) << c.what;
    }
    ReadStreamSet empty;
    const Bytes bytes = {0xEA, 0x9A, 0xCA, 0x09, 0x00};
    ASSERT_TRUE(empty.Parse(bytes.data(), bytes.size()));
    EXPECT_EQ(empty.count(), 0u);
    EXPECT_EQ(empty.stream(0), nullptr);
    EXPECT_TRUE(empty.AllConsumed());
}

TEST(StreamSet, NestedSetsRoundTripInOrder)
{
    WriteStreamSet outer;
    put(outer.stream(0), "H");
    put(outer.stream(1), "o1");

    WriteStreamSet child;
    put(child.stream(0), "aaa");
    put(child.stream(2), "bb");
    ASSERT_TRUE(outer.WriteNestedSet(&child));
    EXPECT_EQ(child.stream(0)->Length(), 0u);
    EXPECT_EQ(child.stream(2)->Length(), 0u);
    // nested count 3 with lengths (3, 0, 2) behind what stream 0 held, then the child's bytes
    EXPECT_EQ(
        std::string(reinterpret_cast<const char *>(outer.stream(0)->Buffer()), outer.stream(0)->Length()),
        std::string("H\x03\x03\x00\x02"
                    "aaa",
                    8));

    WriteStreamSet empty;
    const size_t before = outer.stream(0)->Length();
    ASSERT_TRUE(outer.WriteNestedSet(&empty));
    EXPECT_EQ(outer.stream(0)->Length(), before + 1); // nested count 0 and nothing else

    WriteStreamSet second;
    put(second.stream(1), "s");
    ASSERT_TRUE(outer.WriteNestedSet(&second));

    WriteStream blob;
    ASSERT_TRUE(outer.Serialize(&blob));
    ReadStreamSet in;
    ASSERT_TRUE(in.Parse(blob.Buffer(), blob.Length()));
    uint8_t h = 0;
    ASSERT_TRUE(in.stream(0)->ReadByte(&h));
    EXPECT_EQ(h, 'H');
    ReadStream o1;
    ASSERT_TRUE(in.stream(1)->TakeSlice(2, &o1));

    ReadStreamSet c1, c2, c3;
    ASSERT_TRUE(in.ReadNestedSet(&c1));
    EXPECT_EQ(rest(c1.stream(0)), "aaa");
    EXPECT_EQ(rest(c1.stream(1)), "");
    EXPECT_EQ(rest(c1.stream(2)), "bb");
    ASSERT_TRUE(in.ReadNestedSet(&c2));
    ASSERT_TRUE(in.ReadNestedSet(&c3));
    EXPECT_EQ(rest(c3.stream(0)), "");
    EXPECT_EQ(rest(c3.stream(1)), "s");
    EXPECT_TRUE(in.AllConsumed());
    EXPECT_FALSE(in.ReadNestedSet(&c3)); // nothing left in stream 0
}

TEST(StreamSet, ReadNestedSetRejectsBadHeaders)
{
    const struct {
        const char *what;
        size_t outerCount;
        std::string stream0;
        std::string stream1;
    } cases[] = {
        {"nested count 11", 10, std::string("\x0B", 1), ""},
        {"more nested streams than the outer set has", 1, std::string("\x02\x00\x00", 3), ""},
        {"stream too short", 2, std::string("\x02\x00\x05", 3), "abc"},
        {"stream 0 too short", 2, std::string("\x01\x04xy", 4), ""},
        {"lengths cut off", 2, std::string("\x02\x01", 2), ""},
        {"outer set without streams", 0, "", ""},
    };
    for (const auto &c : cases) {
        WriteStreamSet outer;
        ASSERT_TRUE(outer.SetCount(c.outerCount));
        if (c.outerCount > 0)
            put(outer.stream(0), c.stream0);
        if (c.outerCount > 1)
            put(outer.stream(1), c.stream1);
        WriteStream blob;
        ASSERT_TRUE(outer.Serialize(&blob));
        ReadStreamSet in;
        ASSERT_TRUE(in.Parse(blob.Buffer(), blob.Length())) << c.what;
        ReadStreamSet child;
        EXPECT_FALSE(in.ReadNestedSet(&child)) << c.what;
        if (c.outerCount > 0) {
            EXPECT_EQ(in.stream(0)->Offset(), 0u) << c.what; // nothing consumed on failure
        }
    }

    // A child with fewer streams than the nested count is refused as well.
    WriteStreamSet outer;
    WriteStreamSet child;
    put(child.stream(3), "d");
    ASSERT_TRUE(outer.WriteNestedSet(&child));
    WriteStream blob;
    ASSERT_TRUE(outer.Serialize(&blob));
    ReadStreamSet in;
    ASSERT_TRUE(in.Parse(blob.Buffer(), blob.Length()));
    const Bytes two = {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x00};
    ReadStreamSet small;
    ASSERT_TRUE(small.Parse(two.data(), two.size()));
    EXPECT_FALSE(in.ReadNestedSet(&small));
    ReadStreamSet big;
    EXPECT_TRUE(in.ReadNestedSet(&big));
    EXPECT_EQ(rest(big.stream(3)), "d");
}
