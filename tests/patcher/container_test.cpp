// Packed-file containers: every failure text, the checksum check, the destination left alone on
// failure, and containers made and read by Python's lzma module as an independent codec.
#include "log_capture.h"
#include "patcher/checksum.h"
#include "patcher/encoded_program.h"
#include "patcher/packed_file.h"
#include "patcher/stream_set.h"
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

// A serialised stream set whose streams hold the given bytes.
Bytes streamSet(const std::vector<Bytes> &streams)
{
    WriteStream w;
    w.WriteVarint(20090218);
    w.WriteVarint(static_cast<uint32_t>(streams.size()));
    for (const Bytes &s : streams)
        w.WriteVarint(static_cast<uint32_t>(s.size()));
    for (const Bytes &s : streams)
        w.WriteBytes(s.data(), s.size());
    return Bytes(w.Buffer(), w.Buffer() + w.Length());
}

// A serialised encoded program; `broken` refers to a label it does not have, so it cannot assemble.
Bytes programSource(bool broken)
{
    EncodedProgram program;
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_TRUE(broken ? program.AppendRel32(5) : program.AppendCopy(3, bytes));
    WriteStreamSet set;
    EXPECT_EQ(SerializeEncodedProgram(program, &set), C_OK);
    WriteStream w;
    EXPECT_TRUE(set.Serialize(&w));
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
        {"payload not a stream set",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(data)),
         {"could not init dif_and_dis set"}},
        {"stream set of one stream",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(streamSet({data}))),
         {"dis_and_diff too small"}},
        {"program source not a set",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(streamSet({data, data}))),
         {"could not init program_source set"}},
        {"program source not a program",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(streamSet({streamSet({data}), data}))),
         {"could not read encoded program"}},
        {"program does not assemble",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(streamSet({programSource(true), data}))),
         {"could not assemble program"}},
        {"difference does not apply",
         true,
         container(kContainerMagic, sum, 2, lzma2Block(streamSet({programSource(false), Bytes{9}}))),
         {"could not apply diff"}},
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

namespace {

uint32_t directiveOf(const Bytes &containerBytes)
{
    ReadStream r(containerBytes.data(), containerBytes.size());
    uint32_t magic = 0, checksum = 0, directive = 0;
    EXPECT_TRUE(r.ReadVarint(&magic) && r.ReadVarint(&checksum) && r.ReadVarint(&directive));
    return directive;
}

Bytes exeFixture(const std::string &name)
{
    return readBytes(testutil::fixture(QString::fromStdString(name)));
}

void put32be(Bytes *b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A fat Mach-O file: the header, one 20-byte entry per architecture, each image at a 4 KiB boundary.
// `sizes` overrides an entry's declared size (0: the image's own).
Bytes fatMacho(const std::vector<Bytes> &images, const std::vector<uint32_t> &sizes = {})
{
    Bytes fat(4096, 0);
    put32be(&fat, 0, 0xCAFEBABE);
    put32be(&fat, 4, static_cast<uint32_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        const size_t offset = fat.size();
        fat.insert(fat.end(), images[i].begin(), images[i].end());
        fat.resize((fat.size() + 4095) / 4096 * 4096, 0);
        const size_t entry = 8 + 20 * i;
        put32be(&fat, entry, 0x01000007);
        put32be(&fat, entry + 8, static_cast<uint32_t>(offset));
        put32be(&fat, entry + 12,
                i < sizes.size() && sizes[i] ? sizes[i] : static_cast<uint32_t>(images[i].size()));
        put32be(&fat, entry + 16, 12);
    }
    return fat;
}

// A PE32 image whose first base relocation block claims 10 bytes: the header check passes, the
// parse fails.
Bytes peWithBrokenRelocations()
{
    Bytes pe = exeFixture("ensemble/pe32.old");
    const uint32_t peOffset = pe[60] | pe[61] << 8;
    const size_t optional = peOffset + 24;
    const size_t sections = optional + (pe[peOffset + 20] | pe[peOffset + 21] << 8);
    const uint32_t relocRva = pe[optional + 136] | pe[optional + 137] << 8 | pe[optional + 138] << 16;
    for (size_t s = sections; s + 40 <= pe.size(); s += 40) {
        const uint32_t va = pe[s + 12] | pe[s + 13] << 8 | pe[s + 14] << 16;
        const uint32_t raw = pe[s + 20] | pe[s + 21] << 8 | pe[s + 22] << 16;
        if (std::string(reinterpret_cast<const char *>(&pe[s])) == ".reloc") {
            pe[raw + (relocRva - va) + 4] = 10;
            return pe;
        }
    }
    ADD_FAILURE() << "no .reloc section";
    return pe;
}

struct Packed {
    Bytes container;
    std::vector<std::string> debug, warnings;
};

Packed pack(const Bytes &data, bool preprocess)
{
    LogCapture log;
    WriteStream out;
    Packed p;
    EXPECT_TRUE(PackData(data.data(), data.size(), preprocess, &out));
    p.container.assign(out.Buffer(), out.Buffer() + out.Length());
    for (const LogCapture::Entry &e : log.entries) {
        if (e.level == LogLevel_DEBUG && e.message.rfind("detected ", 0) == 0)
            p.debug.push_back(e.message);
        if (e.level == LogLevel_WARNING)
            p.warnings.push_back(e.message);
    }
    return p;
}

Bytes unpackBytes(const Bytes &containerBytes)
{
    WriteStream out;
    EXPECT_TRUE(UnpackPackedData(ReadStream(containerBytes.data(), containerBytes.size()), &out));
    return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

} // namespace

// Every kind of executable packs into a dis_and_diff container that unpacks to the same bytes; fat
// Mach-O files give one element per architecture; what no parser takes, or what fails to parse,
// falls back to the plain container.
TEST(PackedFileContainer, PreprocessedPackingRoundTrips)
{
    const Bytes machoOld = exeFixture("ensemble/macho_x64.old"),
                machoNew = exeFixture("ensemble/macho_x64.new");
    Bytes pastEnd = fatMacho({machoOld, machoNew}, {0, 0x100000});
    struct Case {
        const char *name;
        Bytes data;
        uint32_t directive;
        std::vector<std::string> detected;
        std::vector<std::string> warnings;
    } cases[] = {
        {"ELF32 x86", exeFixture("ensemble/elf32_x86.old"), 2, {"detected EXE_ELF_32_X86"}, {}},
        {"ELF64 x64", exeFixture("ensemble/elf64_x64.old"), 2, {"detected ELF_64_X64"}, {}},
        {"ELF32 ARM", exeFixture("ensemble/elf32_arm.old"), 2, {"detected ELF_32_ARM"}, {}},
        {"PE32", exeFixture("ensemble/pe32.old"), 2, {"detected WIN_32_X86"}, {}},
        {"PE32+", exeFixture("ensemble/pe64.old"), 2, {"detected WIN_32_X64"}, {}},
        {"Mach-O", machoOld, 2, {"detected MACHO_X64"}, {}},
        {"fat Mach-O", fatMacho({machoOld, machoNew}), 2, {"detected MACHO_X64", "detected MACHO_X64"}, {}},
        {"fat Mach-O entry past the end", pastEnd, 2, {"detected MACHO_X64"}, {}},
        {"text", text("no executable here\n"), 1, {}, {}},
        {"PE whose relocations do not parse",
         peWithBrokenRelocations(),
         1,
         {"detected WIN_32_X86"},
         {"could not parse file", "falling back to default compression"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Packed p = pack(c.data, true);
        EXPECT_EQ(directiveOf(p.container), c.directive);
        EXPECT_EQ(p.debug, c.detected);
        EXPECT_EQ(p.warnings, c.warnings);
        EXPECT_EQ(unpackBytes(p.container), c.data);
        // Without preprocessing every file gets the plain container.
        const Packed plain = pack(c.data, false);
        EXPECT_EQ(directiveOf(plain.container), 1u);
        EXPECT_EQ(unpackBytes(plain.container), c.data);
    }
}

TEST(PackedFileContainer, EmptyFilesPackAndUnpack)
{
    QTemporaryDir dir;
    ASSERT_TRUE(writeBytes(dir.filePath("empty"), Bytes()));
    ASSERT_TRUE(PackFile(QFile::encodeName(dir.filePath("empty")).constData(),
                         QFile::encodeName(dir.filePath("empty._lzma2_")).constData(), true));
    const Unpacked r = unpack(dir.filePath("empty._lzma2_"), dir.filePath("out"));
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(QFile::exists(dir.filePath("out")));
    EXPECT_TRUE(readBytes(dir.filePath("out")).empty());
    EXPECT_FALSE(PackFile(QFile::encodeName(dir.filePath("absent")).constData(),
                          QFile::encodeName(dir.filePath("absent._lzma2_")).constData(), true));
}
