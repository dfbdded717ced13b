// Packed-file containers: every failure text, the checksum check, the destination left alone on
// failure, and containers made and read by Python's lzma module as an independent codec.
#include "log_capture.h"
#include "patcher/checksum.h"
#include "patcher/packed_file.h"
#include "patcher/streams.h"
#include "testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;

namespace {

bool writeBytes(const QString &path, const Bytes &b)
{
    return testutil::writeFile(
        path, QByteArray(reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size())));
}

Bytes readBytes(const QString &path)
{
    const QByteArray q = testutil::readFile(path);
    return Bytes(q.begin(), q.end());
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// Header fields as varints, then the payload.
Bytes container(uint32_t magic, uint32_t checksum, uint32_t directive, const Bytes &payload)
{
    WriteStream w;
    EXPECT_TRUE(w.WriteVarint(magic) && w.WriteVarint(checksum) && w.WriteVarint(directive) &&
                w.WriteBytes(payload.data(), payload.size()));
    return Bytes(w.Buffer(), w.Buffer() + w.Length());
}

Bytes lzma2Block(const Bytes &data)
{
    WriteStream w;
    EXPECT_TRUE(w.WriteLzma2Block(data.data(), data.size()));
    return Bytes(w.Buffer(), w.Buffer() + w.Length());
}

struct Unpacked {
    bool ok = false;
    std::vector<std::string> errors;
};

// Unpacks `source` (absent when null) into `destination` and collects the ERROR lines.
Unpacked unpack(const QString &source, const QString &destination)
{
    LogCapture log;
    Unpacked r;
    r.ok =
        UnpackPackedFile(QFile::encodeName(source).constData(), QFile::encodeName(destination).constData());
    for (const LogCapture::Entry &e : log.entries)
        if (e.level == LogLevel_ERROR)
            r.errors.push_back(e.message);
    return r;
}

bool runPython(const char *script, const QStringList &args, QByteArray *err)
{
    return testutil::runProgram("python3", QStringList{"-c", script} + args, nullptr, err) == 0;
}

} // namespace

TEST(PackedFileContainer, EachFailureHasItsTextAndLeavesTheDestinationAlone)
{
    const Bytes data = text("the unpacked file\n");
    const uint32_t sum = PatchChecksum(data.data(), data.size());
    Bytes corrupt = lzma2Block(data);
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt.resize(corrupt.size() - 1);
    struct Case {
        const char *name;
        bool exists;
        Bytes source;
        std::vector<std::string> lastErrors; // the final ERROR lines, in order
    } cases[] = {
        {"missing source", false, {}, {"could not open lzma file"}},
        {"empty source", true, {}, {"could not open lzma file"}},
        {"two header bytes", true, {0xE9, 0xAE}, {"could not read lzma header"}},
        {"header cut after the checksum",
         true,
         {0xE9, 0xAE, 0xA8, 0x3F, 0x05},
         {"could not read lzma header"}},
        {"wrong magic", true, container(kContainerMagic + 1, sum, 1, lzma2Block(data)), {"not lzma file"}},
        {"directive 0",
         true,
         container(kContainerMagic, sum, 0, lzma2Block(data)),
         {"Unknown preprocessing dirrective"}},
        {"directive 3",
         true,
         container(kContainerMagic, sum, 3, lzma2Block(data)),
         {"Unknown preprocessing dirrective"}},
        {"corrupt block", true, container(kContainerMagic, sum, 1, corrupt), {"could not decompress file"}},
        {"no block",
         true,
         container(kContainerMagic, sum, 1, {}),
         {"Error read LZMA2 properties", "could not decompress file"}},
        {"checksum off by one",
         true,
         container(kContainerMagic, sum + 1, 1, lzma2Block(data)),
         {"crc mismatch"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString src = dir.filePath("file._lzma2_");
        if (c.exists) {
            ASSERT_TRUE(writeBytes(src, c.source));
        }
        // An absent destination stays absent; an existing one keeps its bytes.
        const QString absent = dir.filePath("absent");
        Unpacked r = unpack(src, absent);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(QFile::exists(absent));
        ASSERT_GE(r.errors.size(), c.lastErrors.size());
        EXPECT_EQ(std::vector<std::string>(r.errors.end() - c.lastErrors.size(), r.errors.end()),
                  c.lastErrors);
        const QString existing = dir.filePath("existing");
        ASSERT_TRUE(testutil::writeFile(existing, "old contents"));
        EXPECT_FALSE(unpack(src, existing).ok);
        EXPECT_EQ(testutil::readFile(existing), QByteArray("old contents"));
    }
}

TEST(PackedFileContainer, UnpacksPlainContainersWithTrailingBytesAndEmptyFiles)
{
    const Bytes data = text("plain container body, repeated; plain container body, repeated\n");
    Bytes withTrailer =
        container(kContainerMagic, PatchChecksum(data.data(), data.size()), 1, lzma2Block(data));
    withTrailer.insert(withTrailer.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    // PatchChecksum of no bytes is 0xFFFFFFFF.
    const Bytes empty = container(kContainerMagic, 0xFFFFFFFFu, 1, {0x00, 0x00, 0x00});
    QTemporaryDir dir;
    for (const auto &c : {std::make_pair(withTrailer, data), std::make_pair(empty, Bytes())}) {
        ASSERT_TRUE(writeBytes(dir.filePath("src"), c.first));
        ASSERT_TRUE(testutil::writeFile(dir.filePath("dst"), "previous, longer contents of the destination"));
        const Unpacked r = unpack(dir.filePath("src"), dir.filePath("dst"));
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(readBytes(dir.filePath("dst")), c.second);
    }
}

TEST(PackedFileContainer, UnwritableDestinationFails)
{
    const Bytes data = text("x");
    QTemporaryDir dir;
    ASSERT_TRUE(writeBytes(dir.filePath("src"),
                           container(kContainerMagic, PatchChecksum(data.data(), 1), 1, lzma2Block(data))));
    const Unpacked r = unpack(dir.filePath("src"), dir.filePath("no/such/dir/dst"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errors, std::vector<std::string>{"could not write output file"});
}

// Python writes the whole container (header varints, CRC via zlib, raw LZMA2 payload) and this code
// unpacks it; then Python reads a container packed here and checks its checksum with zlib.
TEST(PackedFileContainer, InteroperatesWithPythonLzma)
{
    const char *make =
        "import lzma,sys,zlib\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "def v(x):\n"
        "  o=b''\n"
        "  while x>=128: o+=bytes([x&0x7f|0x80]); x>>=7\n"
        "  return o+bytes([x])\n"
        "raw=lzma.compress(d,format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA2,'preset':6}])\n"
        "open(sys.argv[2],'wb').write(v(132781929)+v(zlib.crc32(d)^0xffffffff)+v(1)+bytes([22])+v(len(d))+"
        "raw+b'tail')\n";
    const char *read = "import lzma,sys,zlib\n"
                       "b=open(sys.argv[1],'rb').read()\n"
                       "i=0\n"
                       "def v():\n"
                       "  global i\n"
                       "  n=0;s=0\n"
                       "  while True:\n"
                       "    c=b[i];i+=1;n|=(c&0x7f)<<s;s+=7\n"
                       "    if c<0x80: return n\n"
                       "magic=v();crc=v();directive=v();p=b[i];i+=1;size=v()\n"
                       "dec=lzma.LZMADecompressor(format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA2,'"
                       "dict_size':(2|(p&1))<<(p//2+11)}])\n"
                       "d=dec.decompress(b[i:])\n"
                       "assert magic==132781929 and directive==1 and dec.eof and len(d)==size\n"
                       "assert crc==zlib.crc32(d)^0xffffffff\n"
                       "open(sys.argv[2],'wb').write(d)\n";
    Bytes data;
    for (int i = 0; data.size() < 100000; ++i) {
        const std::string line = "line " + std::to_string(i * 7919 % 1000) + " of the sample\n";
        data.insert(data.end(), line.begin(), line.end());
    }
    QTemporaryDir dir;
    ASSERT_TRUE(writeBytes(dir.filePath("data"), data));
    QByteArray err;
    ASSERT_TRUE(runPython(make, {dir.filePath("data"), dir.filePath("py._lzma2_")}, &err))
        << err.toStdString();
    const Unpacked r = unpack(dir.filePath("py._lzma2_"), dir.filePath("out"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(readBytes(dir.filePath("out")), data);

    ASSERT_TRUE(PackFile(QFile::encodeName(dir.filePath("data")).constData(),
                         QFile::encodeName(dir.filePath("ours._lzma2_")).constData(), false));
    ASSERT_TRUE(runPython(read, {dir.filePath("ours._lzma2_"), dir.filePath("back")}, &err))
        << err.toStdString();
    EXPECT_EQ(readBytes(dir.filePath("back")), data);
}
