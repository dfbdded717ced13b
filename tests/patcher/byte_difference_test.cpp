#include "log_capture.h"
#include "patcher/byte_difference.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;

namespace {

struct Triple {
    int32_t diff;
    int32_t extra;
    int32_t seek;
};

// A hand-built body: method byte, new size and the three blocks in the chosen layout.
Bytes makePatch(uint8_t method, uint32_t newSize, const std::vector<Triple> &triples, const Bytes &diff,
                const Bytes &extra, size_t dropControlBytes = 0)
{
    WriteStream control;
    for (const Triple &t : triples)
        control.WriteSignedVarint(t.diff), control.WriteSignedVarint(t.extra),
            control.WriteSignedVarint(t.seek);
    const size_t controlLength = control.Length() - dropControlBytes;
    WriteStream plain;
    plain.WriteVarint(static_cast<uint32_t>(controlLength));
    plain.WriteVarint(static_cast<uint32_t>(diff.size()));
    plain.WriteVarint(static_cast<uint32_t>(extra.size()));
    plain.WriteBytes(control.Buffer(), controlLength);
    plain.WriteBytes(diff.data(), diff.size());
    plain.WriteBytes(extra.data(), extra.size());

    WriteStream out;
    out.WriteByte(method);
    out.WriteVarint(newSize);
    if (method == 1) {
        out.WriteLzma2Block(control.Buffer(), controlLength);
        out.WriteLzma2Block(diff.data(), diff.size());
        out.WriteLzma2Block(extra.data(), extra.size());
    } else if (method == 2) {
        out.WriteLzma2Block(plain.AsReadStream());
    } else {
        out.WriteBytes(plain.Buffer(), plain.Length());
    }
    return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

struct Applied {
    bool ok;
    Bytes bytes;
    std::vector<std::string> log;
    size_t patchOffset;
};

Applied applyPatch(const Bytes &old, const Bytes &patch)
{
    LogCapture log;
    ReadStream oldStream(old.data(), old.size());
    ReadStream patchStream(patch.data(), patch.size());
    WriteStream out;
    const bool ok = ApplyByteDifference(oldStream, &patchStream, &out);
    return {ok, Bytes(out.Buffer(), out.Buffer() + out.Length()), log.messages(), patchStream.Offset()};
}

Bytes pseudoRandom(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (uint8_t &x : b)
        x = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return b;
}

} // namespace

TEST(ApplyByteDifference, HandBuiltStreamsInEveryMethod)
{
    const Bytes old = {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05};
    // Copy 3 corrected bytes (0xF0 + 0x20 wraps to 0x10), insert "xy", seek back to old offset 1,
    // copy 2 bytes again unchanged, insert "z".
    const std::vector<Triple> triples = {{3, 2, -2}, {2, 1, 100}};
    const Bytes diff = {0x20, 0x00, 0x01, 0x00, 0x00};
    const Bytes extra = {'x', 'y', 'z'};
    const Bytes expected = {0x10, 0x01, 0x03, 'x', 'y', 0x01, 0x02, 'z'};
    for (uint8_t method : {0, 1, 2}) {
        Bytes patch = makePatch(method, 8, triples, diff, extra);
        const size_t bodySize = patch.size();
        patch.push_back(0x99); // whatever follows the body is not read
        const Applied r = applyPatch(old, patch);
        EXPECT_TRUE(r.ok) << int(method);
        EXPECT_EQ(r.bytes, expected) << int(method);
        EXPECT_TRUE(r.log.empty());
        EXPECT_EQ(r.patchOffset, bodySize) << int(method);
    }
}

TEST(ApplyByteDifference, OldPositionsCountFromTheOldStreamsPosition)
{
    const Bytes old = {9, 9, 9, 1, 2, 3};
    ReadStream oldStream(old.data(), old.size());
    ASSERT_TRUE(oldStream.SkipBytes(3));
    const Bytes patch = makePatch(0, 3, {{3, 0, 0}}, {0, 0, 0}, {});
    ReadStream patchStream(patch.data(), patch.size());
    WriteStream out;
    ASSERT_TRUE(ApplyByteDifference(oldStream, &patchStream, &out));
    EXPECT_EQ(Bytes(out.Buffer(), out.Buffer() + out.Length()), (Bytes{1, 2, 3}));
    // An old range that fits the whole buffer but not the part after the position fails.
    const Bytes tooFar = makePatch(0, 4, {{4, 0, 0}}, {0, 0, 0, 0}, {});
    ReadStream p2(tooFar.data(), tooFar.size());
    WriteStream out2;
    EXPECT_FALSE(ApplyByteDifference(oldStream, &p2, &out2));
}

TEST(ApplyByteDifference, EdgeCases)
{
    const Bytes old = {1, 2, 3, 4};
    const struct {
        const char *what;
        Bytes patch;
        bool ok;
        Bytes bytes;
        std::vector<std::string> log;
    } cases[] = {
        {"new size 0 with no control", makePatch(0, 0, {}, {}, {}), true, {}, {}},
        {"left-over triples and block bytes are fine",
         makePatch(0, 1, {{0, 1, 0}, {5, 5, 5}}, {7, 7}, {'a', 'b'}),
         true,
         {'a'},
         {}},
        {"method 3", {3, 0, 0, 0, 0}, false, {}, {"Invalid compression method"}},
        {"no method byte", {}, false, {}, {}},
        {"no new size", {0}, false, {}, {}},
        {"control ends inside a triple",
         makePatch(0, 4, {{2, 2, 0}}, {0, 0}, {5, 6}, 1),
         false,
         {},
         {"Corrupt patch reading control"}},
        {"control runs out while output is short",
         makePatch(0, 5, {{2, 2, 0}}, {0, 0}, {5, 6}),
         false,
         {1, 2, 5, 6},
         {"Corrupt patch reading control"}},
        {"extra past the new size",
         makePatch(0, 3, {{2, 2, 0}}, {0, 0}, {5, 6}),
         false,
         {1, 2},
         {"Corrupt patch"}},
        {"diff past the new size", makePatch(0, 1, {{2, 0, 0}}, {0, 0}, {}), false, {}, {"Corrupt patch"}},
        {"old range past the end", makePatch(0, 5, {{5, 0, 0}}, {0, 0, 0, 0, 0}, {}), false, {}, {}},
        {"negative seek before the start",
         makePatch(0, 4, {{1, 0, -3}, {1, 0, 0}}, {0, 0}, {}),
         false,
         {1},
         {}},
        {"negative diff count", makePatch(0, 4, {{-1, 0, 0}}, {}, {}), false, {}, {}},
        {"negative extra count", makePatch(0, 4, {{0, -1, 0}}, {}, {}), false, {}, {}},
        {"diff block too short", makePatch(0, 3, {{3, 0, 0}}, {0, 0}, {}), false, {}, {}},
        {"extra block too short", makePatch(0, 3, {{0, 3, 0}}, {}, {1, 2}), false, {}, {}},
        {"blocks longer than the patch", Bytes{0, 4, 3, 0, 0, 0, 0}, false, {}, {}},
        {"block lengths missing", Bytes{0, 4, 3}, false, {}, {}},
        {"empty old range anywhere is fine",
         makePatch(0, 2, {{0, 1, -50}, {0, 1, 0}}, {}, {7, 8}),
         true,
         {7, 8},
         {}},
    };
    for (const auto &c : cases) {
        const Applied r = applyPatch(old, c.patch);
        EXPECT_EQ(r.ok, c.ok) << c.what;
        EXPECT_EQ(r.log, c.log) << c.what;
        EXPECT_EQ(r.bytes, c.bytes) << c.what;
    }
}

TEST(ApplyByteDifference, BadCompressedBlocksFail)
{
    const Bytes good = makePatch(1, 3, {{0, 3, 0}}, {}, {1, 2, 3});
    ASSERT_TRUE(applyPatch({}, good).ok);
    for (size_t cut : {size_t(3), size_t(8), good.size() - 1}) {
        const Applied r = applyPatch({}, Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(r.ok) << cut;
        ASSERT_FALSE(r.log.empty()) << cut;
    }
    // Method 2 whose inner layout claims more than the block holds.
    WriteStream inner;
    inner.WriteBytes("\x05\x00\x00\x01", 4);
    WriteStream patch;
    patch.WriteByte(2);
    patch.WriteVarint(1);
    patch.WriteLzma2Block(inner.AsReadStream());
    EXPECT_FALSE(applyPatch({}, Bytes(patch.Buffer(), patch.Buffer() + patch.Length())).ok);
}

TEST(GenerateByteDifference, RoundTripsInEveryMethod)
{
    const Bytes base = pseudoRandom(40000, 7);
    Bytes edited = base;
    // Point edits, an insertion, a deletion, a moved block and arithmetic shifts of a region, as a
    // new build of a program would have.
    for (size_t i = 100; i < edited.size(); i += 997)
        edited[i] ^= 0x5A;
    edited.insert(edited.begin() + 5000, 300, 0xCC);
    edited.erase(edited.begin() + 20000, edited.begin() + 20500);
    for (size_t i = 30000; i < 32000; i += 4)
        edited[i] = static_cast<uint8_t>(edited[i] + 3);
    Bytes moved(edited.begin() + 1000, edited.begin() + 3000);
    edited.insert(edited.end(), moved.begin(), moved.end());

    const struct {
        const char *what;
        Bytes old;
        Bytes fresh;
    } pairs[] = {
        {"edited", base, edited},
        {"identical", base, base},
        {"empty old", {}, Bytes(base.begin(), base.begin() + 1000)},
        {"empty new", base, {}},
        {"both empty", {}, {}},
        {"unrelated", pseudoRandom(3000, 1), pseudoRandom(5000, 2)},
        {"one byte each", {1}, {2}},
        {"repetitive", Bytes(5000, 0), Bytes(7000, 0)},
    };
    for (const auto &p : pairs) {
        for (uint32_t method : {0u, 1u, 2u}) {
            WriteStream patch;
            ASSERT_TRUE(GenerateByteDifference(ReadStream(p.old.data(), p.old.size()),
                                               ReadStream(p.fresh.data(), p.fresh.size()), &patch, method))
                << p.what;
            ASSERT_GE(patch.Length(), 2u);
            EXPECT_EQ(patch.Buffer()[0], method);
            const Applied r = applyPatch(p.old, Bytes(patch.Buffer(), patch.Buffer() + patch.Length()));
            EXPECT_TRUE(r.ok) << p.what << " method " << method;
            EXPECT_EQ(r.bytes, p.fresh) << p.what << " method " << method;
            EXPECT_EQ(r.patchOffset, patch.Length()) << p.what;
        }
    }
}

TEST(GenerateByteDifference, LargeInputsScannedInTwoHalves)
{
    // Large enough for the generator to scan two halves at once; the halves must join exactly.
    const Bytes base = pseudoRandom(300000, 11);
    Bytes edited = base;
    for (size_t i = 50; i < edited.size(); i += 4096)
        edited[i] = static_cast<uint8_t>(edited[i] + 1);
    edited.insert(edited.begin() + 70000, 64, 0xAB);
    edited.erase(edited.begin() + 200000, edited.begin() + 200100);
    Bytes shortOld(base.begin(), base.begin() + 1000); // the second half starts past the old data
    const struct {
        const char *what;
        const Bytes &old;
        const Bytes &fresh;
        size_t maxPatch;
    } cases[] = {
        // Random data does not compress: only finding the matches keeps this small.
        {"similar", base, edited, 3000},
        {"old shorter than half the new", shortOld, edited, edited.size() + 1000},
    };
    for (const auto &c : cases) {
        WriteStream patch;
        ASSERT_TRUE(GenerateByteDifference(ReadStream(c.old.data(), c.old.size()),
                                           ReadStream(c.fresh.data(), c.fresh.size()), &patch, 1));
        EXPECT_LT(patch.Length(), c.maxPatch) << c.what;
        const Applied r = applyPatch(c.old, Bytes(patch.Buffer(), patch.Buffer() + patch.Length()));
        EXPECT_TRUE(r.ok) << c.what;
        EXPECT_EQ(r.bytes, c.fresh) << c.what;
    }
}

TEST(GenerateByteDifference, UnknownMethodFails)
{
    const Bytes a = {1, 2, 3};
    WriteStream patch;
    EXPECT_FALSE(
        GenerateByteDifference(ReadStream(a.data(), a.size()), ReadStream(a.data(), a.size()), &patch, 3));
}

TEST(GenerateByteDifference, InputsOf2GiBAreRefused)
{
    // Only the sizes are looked at before refusing, so an inaccessible reservation stands in for the data.
    const size_t size = size_t(1) << 31;
    void *region = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    const uint8_t byte = 0;
    const ReadStream small(&byte, 1);
    const ReadStream huge(region, size);
    LogCapture log;
    WriteStream patch;
    EXPECT_FALSE(GenerateByteDifference(huge, small, &patch, 0));
    EXPECT_FALSE(GenerateByteDifference(small, huge, &patch, 0));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{" old stream too large", "error in old_stream size",
                                        " new stream too large", "error in new_stream size"}));
    EXPECT_EQ(patch.Length(), 0u);
    munmap(region, size);
}
