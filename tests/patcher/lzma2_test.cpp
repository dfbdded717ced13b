// LZMA2 blocks checked against Python's lzma module as an independent encoder and decoder.
#include "log_capture.h"
#include "patcher/lzma2.h"
#include "patcher/streams.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;

namespace {

QByteArray toQ(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size()));
}

Bytes fromQ(const QByteArray &q)
{
    return Bytes(q.begin(), q.end());
}

// Runs a Python snippet that reads sys.argv[1] and writes sys.argv[2].
bool runPython(const char *script, const Bytes &input, Bytes *output)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in"), out = dir.filePath("out");
    if (!testutil::writeFile(in, toQ(input)))
        return false;
    QByteArray err;
    const int rc = testutil::runProgram("python3", {"-c", script, in, out}, nullptr, &err);
    if (rc != 0) {
        ADD_FAILURE() << err.toStdString();
        return false;
    }
    *output = fromQ(testutil::readFile(out));
    return true;
}

// A raw LZMA2 stream from Python, wrapped as a block: property byte, size varint, data.
Bytes pythonBlock(const Bytes &data, int preset)
{
    const std::string script =
        "import lzma,sys\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "f={'id':lzma.FILTER_LZMA2,'preset':" +
        std::to_string(preset) +
        "}\n"
        "open(sys.argv[2],'wb').write(lzma.compress(d,format=lzma.FORMAT_RAW,filters=[f]))\n";
    Bytes raw;
    EXPECT_TRUE(runPython(script.c_str(), data, &raw));
    // Presets 1 and 6 use 1 MiB and 8 MiB dictionaries: properties 16 and 22.
    const uint8_t property = preset == 1 ? 16 : 22;
    WriteStream block;
    EXPECT_TRUE(block.WriteByte(property) && block.WriteVarint(static_cast<uint32_t>(data.size())) &&
                block.WriteBytes(raw.data(), raw.size()));
    return Bytes(block.Buffer(), block.Buffer() + block.Length());
}

Bytes sample(size_t n)
{
    Bytes data;
    const std::string words[] = {"patch ", "stream ", "ensemble ", "talvenor ", "\x01\x02\x03"};
    uint32_t x = 12345;
    while (data.size() < n) {
        x = x * 1103515245u + 12345u;
        const std::string &w = words[(x >> 16) % 5];
        data.insert(data.end(), w.begin(), w.end());
        if ((x >> 8) % 7 == 0)
            data.push_back(static_cast<uint8_t>(x >> 24));
    }
    data.resize(n);
    return data;
}

} // namespace

TEST(Lzma2Block, DictionarySizes)
{
    EXPECT_EQ(Lzma2DictionarySize(0), 4096u);
    EXPECT_EQ(Lzma2DictionarySize(1), 6144u);
    EXPECT_EQ(Lzma2DictionarySize(16), 1u << 20);
    EXPECT_EQ(Lzma2DictionarySize(22), 8u << 20);
    EXPECT_EQ(Lzma2DictionarySize(39), 3u << 30);
    EXPECT_EQ(Lzma2DictionarySize(40), 0xFFFFFFFFu);
}

TEST(Lzma2Block, DecodesBlocksMadeByPython)
{
    const struct {
        size_t n;
        int preset;
    } cases[] = {{0, 6}, {1, 1}, {5000, 6}, {120000, 1}};
    for (const auto &c : cases) {
        const Bytes data = sample(c.n);
        Bytes block = pythonBlock(data, c.preset);
        const size_t blockSize = block.size();
        block.push_back(0xAB); // bytes after the block are left for the caller
        ReadStream in(block.data(), block.size());
        WriteStream out;
        ASSERT_TRUE(out.WriteBytes("pre", 3));
        ASSERT_TRUE(in.ReadLzma2Block(&out)) << c.n << " preset " << c.preset;
        EXPECT_EQ(in.Offset(), blockSize);
        ASSERT_EQ(out.Length(), c.n + 3);
        EXPECT_EQ(Bytes(out.Buffer() + 3, out.Buffer() + out.Length()), data);
    }
}

namespace {
// Decodes a whole block (property, size varint, raw stream) and insists that nothing follows.
const char *kPythonDecodeBlock =
    "import lzma,sys\n"
    "b=open(sys.argv[1],'rb').read()\n"
    "p=b[0]\n"
    "dic=(2|(p&1))<<(p//2+11)\n"
    "i=1;n=0;s=0\n"
    "while True:\n"
    "  c=b[i];i+=1;n|=(c&0x7f)<<s;s+=7\n"
    "  if c<0x80: break\n"
    "d=lzma.LZMADecompressor(format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA2,'dict_size':dic}])\n"
    "out=d.decompress(b[i:])\n"
    "assert d.eof and d.unused_data==b'' and len(out)==n\n"
    "open(sys.argv[2],'wb').write(out)\n";
} // namespace

TEST(Lzma2Block, PythonDecodesBlocksWrittenHere)
{
    const char *script = kPythonDecodeBlock;
    for (size_t n : {size_t(0), size_t(7), size_t(100000)}) {
        const Bytes data = sample(n);
        WriteStream block;
        ASSERT_TRUE(block.WriteLzma2Block(data.data(), data.size()));
        Bytes decoded;
        ASSERT_TRUE(runPython(script, Bytes(block.Buffer(), block.Buffer() + block.Length()), &decoded)) << n;
        EXPECT_EQ(decoded, data);
    }
    // Incompressible input survives too.
    Bytes noise(70000);
    uint32_t x = 1;
    for (uint8_t &b : noise)
        b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    WriteStream block;
    ASSERT_TRUE(block.WriteLzma2Block(ReadStream(noise.data(), noise.size())));
    Bytes decoded;
    ASSERT_TRUE(runPython(script, Bytes(block.Buffer(), block.Buffer() + block.Length()), &decoded));
    EXPECT_EQ(decoded, noise);
}

TEST(Lzma2Block, EmptyBlockIsPropertySizeAndEndMarker)
{
    WriteStream block;
    ASSERT_TRUE(block.WriteLzma2Block("", 0));
    ASSERT_EQ(block.Length(), 3u);
    EXPECT_LE(block.Buffer()[0], kMaxLzma2Property);
    EXPECT_EQ(block.Buffer()[1], 0x00);
    EXPECT_EQ(block.Buffer()[2], 0x00);
    ReadStream in = block.AsReadStream();
    WriteStream out;
    ASSERT_TRUE(in.ReadLzma2Block(&out));
    EXPECT_EQ(out.Length(), 0u);
    EXPECT_TRUE(in.Consumed());
}

TEST(Lzma2Block, BadBlocksFailWithTheirMessages)
{
    const Bytes data = sample(20000);
    const Bytes good = pythonBlock(data, 6);
    const size_t header = 1 + 3; // property and a three-byte size varint (20000)

    auto withSize = [&](uint32_t size) {
        WriteStream w;
        w.WriteByte(good[0]);
        w.WriteVarint(size);
        w.WriteBytes(good.data() + header, good.size() - header);
        return Bytes(w.Buffer(), w.Buffer() + w.Length());
    };
    Bytes corrupt = good;
    for (size_t i = header + 5; i < corrupt.size(); i += 7)
        corrupt[i] ^= 0x55;
    Bytes badProperty = good;
    badProperty[0] = 41;
    Bytes badControl = good;
    badControl[header] = 0x03; // not a valid LZMA2 chunk type

    const struct {
        const char *what;
        Bytes bytes;
        std::string message;
    } cases[] = {
        {"no bytes", {}, "Error read LZMA2 properties"},
        {"size cut off", {22, 0x80}, "Error read LZMA2 unpack size"},
        {"short block", Bytes(good.begin(), good.end() - 10), "Error uncompressing data 6"},
        {"only the header", Bytes(good.begin(), good.begin() + header), "Error uncompressing data 6"},
        {"declared size too small", withSize(19999), "Error uncompressing data 0"},
        {"declared size too large", withSize(20001), "Error uncompressing data 0"},
        {"corrupt data", corrupt, "Error uncompressing data 1"},
        {"bad chunk control", badControl, "Error uncompressing data 1"},
        {"property above 40", badProperty, "Error uncompressing data 4"},
    };
    for (const auto &c : cases) {
        LogCapture log;
        ReadStream in(c.bytes.data(), c.bytes.size());
        WriteStream out;
        EXPECT_FALSE(in.ReadLzma2Block(&out)) << c.what;
        EXPECT_EQ(in.Offset(), 0u) << c.what;
        ASSERT_EQ(log.entries.size(), 1u) << c.what;
        EXPECT_EQ(log.entries[0].message, c.message) << c.what;
        EXPECT_EQ(log.entries[0].level, LogLevel_ERROR);
    }
}

TEST(Lzma2Block, HugeDeclaredSizeOrFailedSinkIsRefused)
{
    LogCapture log;
    WriteStream failed;
    failed.ReserveMore(size_t(1) << 62);
    ASSERT_TRUE(failed.Failed());
    const Bytes block = {22, 0x00, 0x00};
    ReadStream in(block.data(), block.size());
    EXPECT_FALSE(in.ReadLzma2Block(&failed));
    EXPECT_EQ(log.messages(), std::vector<std::string>{"unable to allocate sink space"});

    // A 4 GiB claim with a huge dictionary over a few bytes of input fails quickly and cleanly.
    const Bytes bogus = {40, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x00, 0x00, 'a'};
    ReadStream b(bogus.data(), bogus.size());
    WriteStream out;
    EXPECT_FALSE(b.ReadLzma2Block(&out));
}

TEST(Lzma2Block, TunedAndSplitBlocksDecodeHereAndInPython)
{
    Bytes sparse(300000, 0);
    for (size_t i = 7; i < sparse.size(); i += 113)
        sparse[i] = static_cast<uint8_t>(i >> 4);
    Lzma2Tuning tuning = SparseDataTuning();
    for (size_t splitAbove : {SIZE_MAX, size_t(100000)}) {
        tuning.splitAbove = splitAbove;
        WriteStream block;
        ASSERT_TRUE(WriteTunedLzma2Block(&block, sparse.data(), sparse.size(), tuning));
        block.WriteByte(0x77);
        ReadStream in = block.AsReadStream();
        WriteStream out;
        ASSERT_TRUE(in.ReadLzma2Block(&out)) << splitAbove;
        EXPECT_EQ(in.Remaining(), 1u); // the joined halves end in one end marker
        EXPECT_EQ(Bytes(out.Buffer(), out.Buffer() + out.Length()), sparse);

        Bytes decoded;
        ASSERT_TRUE(runPython(kPythonDecodeBlock, Bytes(block.Buffer(), block.Buffer() + block.Length() - 1),
                              &decoded));
        EXPECT_EQ(decoded, sparse) << splitAbove;
    }
}
