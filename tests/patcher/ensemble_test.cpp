// Ensemble patches: every status of the applier on small crafted patches, the zero-element patch,
// the file-level rules (old file opened after the header, new file written only at the end), and
// patches made by the generator from real executable pairs.
#include "patcher/byte_difference.h"
#include "patcher/checksum.h"
#include "patcher/encoded_program.h"
#include "patcher/ensemble.h"
#include "patcher/ensemble_generator.h"
#include "patcher/stream_set.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patcher;
using Bytes = std::vector<uint8_t>;
using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

namespace {

Bytes bytesOf(const WriteStream &w)
{
    return Bytes(w.Buffer(), w.Buffer() + w.Length());
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes fixtureBytes(const std::string &name)
{
    const QByteArray q = testutil::readFile(testutil::fixture(QString::fromStdString("ensemble/" + name)));
    return Bytes(q.begin(), q.end());
}

bool writeBytes(const QString &path, const Bytes &b)
{
    return testutil::writeFile(
        path, QByteArray(reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size())));
}

Bytes diff(const Bytes &from, const Bytes &to)
{
    WriteStream w;
    EXPECT_TRUE(GenerateByteDifference(ReadStream(from.data(), from.size()), ReadStream(to.data(), to.size()),
                                       &w, BYTE_DIFFERENCE_PLAIN));
    return bytesOf(w);
}

Bytes serialized(WriteStreamSet *set)
{
    WriteStream w;
    EXPECT_TRUE(set->Serialize(&w));
    return bytesOf(w);
}

// A set of `count` nested sets, each holding `each` (or nothing).
Bytes nestedSets(size_t count, const Bytes &each = Bytes())
{
    WriteStreamSet set;
    for (size_t i = 0; i < count; ++i) {
        WriteStreamSet child;
        child.stream(0)->WriteBytes(each.data(), each.size());
        EXPECT_TRUE(set.WriteNestedSet(&child));
    }
    return serialized(&set);
}

// The transformed elements exactly as the applier predicts them: one nested encoded program per range.
Bytes predictedElements(const Bytes &old, const Ranges &ranges)
{
    WriteStreamSet set;
    for (const auto &r : ranges) {
        PatcherX86_32 patcher(ReadStream(old.data(), old.size()));
        WriteStream params;
        params.WriteVarint(r.first);
        params.WriteVarint(r.second);
        ReadStream p = params.AsReadStream();
        EXPECT_EQ(patcher.ReadParameters(&p), C_OK);
        WriteStreamSet element;
        ReadStreamSet noParameters; // ten empty streams
        EXPECT_EQ(patcher.TransformElement(&noParameters, &element), C_OK);
        EXPECT_TRUE(set.WriteNestedSet(&element));
    }
    return serialized(&set);
}

struct PatchLayout {
    uint32_t magic = kEnsembleMagic;
    uint32_t version = kEnsembleVersion;
    uint32_t sourceChecksum = 0;
    uint32_t targetChecksum = 0;
    uint32_t sizePrediction = 0;
    std::vector<Bytes> streams; // the body's streams
    bool rawBody = false;       // streams[0] is the whole body, not a stream set
};

Bytes buildPatch(const PatchLayout &layout)
{
    Bytes body;
    if (layout.rawBody) {
        body = layout.streams.at(0);
    } else {
        WriteStreamSet set;
        EXPECT_TRUE(set.SetCount(layout.streams.size()));
        for (size_t i = 0; i < layout.streams.size(); ++i)
            set.stream(i)->WriteBytes(layout.streams[i].data(), layout.streams[i].size());
        body = serialized(&set);
    }
    WriteStream w;
    w.WriteVarint(layout.magic);
    w.WriteVarint(layout.version);
    w.WriteVarint(layout.sourceChecksum);
    w.WriteVarint(layout.targetChecksum);
    w.WriteVarint(layout.sizePrediction);
    EXPECT_TRUE(w.WriteLzma2Block(body.data(), body.size()));
    return bytesOf(w);
}

// Element list: count, kinds, then (offset, length) pairs, then `extra` bytes.
Bytes elementList(const std::vector<uint32_t> &kinds, const Ranges &ranges, const Bytes &extra = Bytes())
{
    WriteStream w;
    w.WriteVarint(static_cast<uint32_t>(kinds.size()));
    for (uint32_t k : kinds)
        w.WriteVarint(k);
    for (const auto &r : ranges) {
        w.WriteVarint(r.first);
        w.WriteVarint(r.second);
    }
    w.WriteBytes(extra.data(), extra.size());
    return bytesOf(w);
}

// A well-formed patch from `old` to `target` whose element list names the given ranges (all of kind
// 2); the element corrections are the identity unless given.
PatchLayout wellFormed(const Bytes &old, const Bytes &target, const Ranges &ranges)
{
    PatchLayout layout;
    layout.sourceChecksum = PatchChecksum(old.data(), old.size());
    layout.targetChecksum = PatchChecksum(target.data(), target.size());
    layout.sizePrediction = static_cast<uint32_t>(old.size());
    const Bytes parameters = nestedSets(ranges.size());
    layout.streams = {elementList(std::vector<uint32_t>(ranges.size(), EXE_ELF_32_X86), ranges),
                    diff(parameters, parameters), Bytes(), diff(old, target)};
    if (ranges.empty()) {
        const Bytes elements = nestedSets(0);
        layout.streams[2] = diff(elements, elements);
    }
    return layout;
}

PatchStatus applyPatch(const Bytes &old, const Bytes &patch, Bytes *out = nullptr)
{
    WriteStream w;
    const PatchStatus status =
        ApplyEnsemblePatch(ReadStream(old.data(), old.size()), ReadStream(patch.data(), patch.size()), &w);
    if (out)
        *out = bytesOf(w);
    return status;
}

} // namespace

TEST(EnsemblePatch, ZeroElementPatchRebuildsTheNewFileFromTheOldOne)
{
    const Bytes old = text("the old file, version one, with some text that stays the same\n");
    const Bytes target = text("the new file, version two, with some text that stays the same and more\n");
    Bytes out;
    ASSERT_EQ(applyPatch(old, buildPatch(wellFormed(old, target, Ranges())), &out), C_OK);
    EXPECT_EQ(out, target);
    // Bytes after the body are ignored.
    Bytes trailing = buildPatch(wellFormed(old, target, Ranges()));
    trailing.push_back(0x42);
    EXPECT_EQ(applyPatch(old, trailing), C_OK);
}

TEST(EnsemblePatch, EveryFailureHasItsStatus)
{
    const Bytes plain = text("plain bytes that no parser recognises, long enough to hold a range\n");
    const Bytes target = text("whatever the new file is\n");
    const Bytes exe = fixtureBytes("elf32_x86.old");
    ASSERT_FALSE(exe.empty());
    const uint32_t exeSize = static_cast<uint32_t>(exe.size());
    const Bytes exeElements = predictedElements(exe, {{0, exeSize}});

    // An encoded program that reads back but cannot be assembled: a reference to a label it lacks.
    EncodedProgram broken;
    ASSERT_TRUE(broken.AppendRel32(5));
    WriteStreamSet brokenSet, brokenElements;
    ASSERT_EQ(SerializeEncodedProgram(broken, &brokenSet), C_OK);
    ASSERT_TRUE(brokenElements.WriteNestedSet(&brokenSet));
    const Bytes unassemblable = serialized(&brokenElements);

    struct Case {
        const char *name;
        Bytes old;
        PatchLayout layout;
        PatchStatus expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char *name, const Bytes &old, const PatchLayout &layout, PatchStatus expected) {
        cases.push_back(Case{name, old, layout, expected});
    };
    const PatchLayout good = wellFormed(plain, target, Ranges());
    PatchLayout s;

    s = good, s.magic = 0x756F44;
    add("bad magic", plain, s, C_BAD_ENSEMBLE_MAGIC);
    s = good, s.version = kEnsembleVersion + 1;
    add("wrong version", plain, s, C_BAD_ENSEMBLE_VERSION);
    s = good, s.sourceChecksum ^= 1;
    add("wrong old file", plain, s, C_BAD_ENSEMBLE_CRC);
    s = good, s.sourceChecksum ^= 1, s.streams = {Bytes{1, 2, 3}}, s.rawBody = true;
    add("wrong old file is found before the body is decoded", plain, s, C_BAD_ENSEMBLE_CRC);
    s = good, s.targetChecksum ^= 1;
    add("result is not the new file", plain, s, C_BAD_ENSEMBLE_CRC);
    s = good, s.streams = {Bytes{1, 2, 3}}, s.rawBody = true;
    add("body not a stream set", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams.resize(3);
    add("three streams", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams.clear();
    add("no streams", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams[0] = elementList({0}, {{0, 4}});
    add("kind 0", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams[0] = elementList({8}, {{0, 4}});
    add("kind 8", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams[0] = Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    add("count far beyond the list", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams[0] = elementList({}, Ranges(), Bytes{0});
    add("extra byte after the element list", plain, s, C_BAD_ENSEMBLE_HEADER);
    s = good, s.streams[0] = elementList({2}, {{10, static_cast<uint32_t>(plain.size()) - 9}});
    add("range past the old file", plain, s, C_BAD_TRANSFORM);
    s = good, s.streams[0] = elementList({2}, {{static_cast<uint32_t>(plain.size()) + 1, 0}});
    add("offset past the old file", plain, s, C_BAD_TRANSFORM);
    s = good, s.streams[0] = elementList({2}, Ranges(), Bytes{4});
    add("range cut short", plain, s, C_BAD_TRANSFORM);
    s = wellFormed(plain, target, {{0, static_cast<uint32_t>(plain.size())}});
    add("element not an executable", plain, s, C_INPUT_NOT_RECOGNIZED);
    s = wellFormed(plain, target, Ranges()), s.streams[1] = Bytes{7};
    add("parameter correction not a difference", plain, s, C_GENERAL_ERROR);
    s = wellFormed(plain, target, Ranges()), s.streams[1] = diff(nestedSets(0), Bytes{1, 2, 3});
    add("corrected parameters not a stream set", plain, s, C_STREAM_ERROR);
    s = wellFormed(exe, target, {{0, exeSize}}), s.streams[1] = diff(nestedSets(1), nestedSets(1, Bytes{9}));
    add("element given parameters", exe, s, C_GENERAL_ERROR);
    s = wellFormed(exe, target, {{0, exeSize}}), s.streams[1] = diff(nestedSets(1), nestedSets(2));
    add("parameters left over", exe, s, C_STREAM_NOT_CONSUMED);
    s = wellFormed(exe, target, {{0, exeSize}}), s.streams[2] = diff(exeElements, nestedSets(1, Bytes{1, 2}));
    add("corrected element not a program", exe, s, C_DESERIALIZATION_FAILED);
    s = wellFormed(exe, target, {{0, exeSize}}), s.streams[2] = diff(exeElements, unassemblable);
    add("corrected element does not assemble", exe, s, C_ASSEMBLY_FAILED);
    s = wellFormed(exe, target, {{0, exeSize}}), s.streams[2] = diff(exeElements, nestedSets(0));
    add("corrected elements missing", exe, s, C_STREAM_ERROR);
    s = wellFormed(plain, target, Ranges()), s.streams[3] = Bytes{0, 1, 0, 0, 0};
    add("final difference fails", plain, s, C_GENERAL_ERROR);

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(applyPatch(c.old, buildPatch(c.layout)), c.expected);
    }
}

TEST(EnsemblePatch, FileLevelStatusesAndUntouchedOutput)
{
    const Bytes old = text("old contents of the installed file\n");
    const Bytes target = text("new contents of the installed file\n");
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return QFile::encodeName(dir.filePath(name)).toStdString(); };
    ASSERT_TRUE(writeBytes(dir.filePath("old"), old));
    ASSERT_TRUE(writeBytes(dir.filePath("patch"), buildPatch(wellFormed(old, target, Ranges()))));
    PatchLayout badMagic = wellFormed(old, target, Ranges());
    badMagic.magic = 1;
    ASSERT_TRUE(writeBytes(dir.filePath("bad-magic"), buildPatch(badMagic)));
    ASSERT_TRUE(writeBytes(dir.filePath("empty"), Bytes()));
    ASSERT_TRUE(writeBytes(dir.filePath("existing"), text("keep me")));

    struct Case {
        const char *name;
        std::string old, patch, out;
        PatchStatus expected;
    } cases[] = {
        {"patch missing", path("old"), path("nope"), path("out"), C_READ_OPEN_ERROR},
        {"patch empty", path("old"), path("empty"), path("out"), C_READ_OPEN_ERROR},
        {"bad magic with the old file absent", path("absent"), path("bad-magic"), path("out"),
         C_BAD_ENSEMBLE_MAGIC},
        {"old file missing", path("absent"), path("patch"), path("out"), C_READ_ERROR},
        {"old file empty", path("empty"), path("patch"), path("out"), C_READ_ERROR},
        {"output not creatable", path("old"), path("patch"), path("no-dir/out"), C_READ_ERROR},
        {"failure leaves an existing output alone", path("old"), path("bad-magic"), path("existing"),
         C_BAD_ENSEMBLE_MAGIC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList before = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
        EXPECT_EQ(ApplyEnsemblePatch(c.old.c_str(), c.patch.c_str(), c.out.c_str()), c.expected);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name), before);
    }
    EXPECT_EQ(testutil::readFile(dir.filePath("existing")), QByteArray("keep me"));

    EXPECT_EQ(ApplyEnsemblePatch(path("old").c_str(), path("patch").c_str(), path("out").c_str()), C_OK);
    EXPECT_EQ(testutil::readFile(dir.filePath("out")), QByteArray("new contents of the installed file\n"));
    // The new file may replace the old one in place.
    EXPECT_EQ(ApplyEnsemblePatch(path("old").c_str(), path("patch").c_str(), path("old").c_str()), C_OK);
    EXPECT_EQ(testutil::readFile(dir.filePath("old")), QByteArray("new contents of the installed file\n"));
}

// The generator on real pairs of every kind: the applier rebuilds the new file exactly, the
// executables are paired, most labels of the new program take the index of their old counterpart,
// and the patch written is never larger than the zero-element patch of the same pair.
TEST(EnsembleGenerator, PatchesRebuildRealExecutablePairs)
{
    for (const char *kind : {"elf32_x86", "elf64_x64", "elf32_arm", "pe32", "pe64", "macho_x64"}) {
        SCOPED_TRACE(kind);
        const Bytes old = fixtureBytes(std::string(kind) + ".old");
        const Bytes target = fixtureBytes(std::string(kind) + ".new");
        ASSERT_FALSE(old.empty());
        ASSERT_FALSE(target.empty());
        WriteStream patch;
        EnsembleGeneratorReport report;
        ASSERT_TRUE(GenerateEnsemblePatch(ReadStream(old.data(), old.size()),
                                          ReadStream(target.data(), target.size()), &patch, &report));
        Bytes out;
        ASSERT_EQ(applyPatch(old, bytesOf(patch), &out), C_OK);
        EXPECT_EQ(out, target);
        EXPECT_EQ(report.paired_elements, 1u);
        EXPECT_GT(report.new_labels, 0u);
        EXPECT_GE(report.matched_labels * 2, report.new_labels);
        EXPECT_LE(patch.Length(), buildPatch(wellFormed(old, target, Ranges())).size());
        // Where code moved and many references changed, the transformed patch wins.
        if (std::string(kind) == "pe32") {
            EXPECT_EQ(report.elements, 1u);
        }

        // Deterministic: the same inputs give the same bytes.
        WriteStream again;
        ASSERT_TRUE(GenerateEnsemblePatch(ReadStream(old.data(), old.size()),
                                          ReadStream(target.data(), target.size()), &again));
        EXPECT_EQ(bytesOf(again), bytesOf(patch));
    }
}

TEST(EnsembleGenerator, IdenticalExecutablesPairEveryLabel)
{
    const Bytes exe = fixtureBytes("pe32.new");
    WriteStream patch;
    EnsembleGeneratorReport report;
    ASSERT_TRUE(GenerateEnsemblePatch(ReadStream(exe.data(), exe.size()), ReadStream(exe.data(), exe.size()),
                                      &patch, &report));
    EXPECT_EQ(report.paired_elements, 1u);
    EXPECT_GT(report.new_labels, 0u);
    EXPECT_EQ(report.matched_labels, report.new_labels);
    Bytes out;
    ASSERT_EQ(applyPatch(exe, bytesOf(patch), &out), C_OK);
    EXPECT_EQ(out, exe);
}

// Files without executables, an executable that became plain data, and an empty new file all get
// zero-element patches that still rebuild the new file.
TEST(EnsembleGenerator, NonExecutablesGetZeroElementPatches)
{
    const Bytes exe = fixtureBytes("elf32_x86.old");
    const Bytes textOld = text("a text file\nwith lines\n"), textNew = text("a text file\nwith more lines\n");
    struct Case {
        const char *name;
        Bytes old, target;
    } cases[] = {
        {"text", textOld, textNew},
        {"executable to text", exe, textNew},
        {"text to executable", textOld, exe},
        {"empty new file", textOld, Bytes()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteStream patch;
        EnsembleGeneratorReport report;
        ASSERT_TRUE(GenerateEnsemblePatch(ReadStream(c.old.data(), c.old.size()),
                                          ReadStream(c.target.data(), c.target.size()), &patch, &report));
        EXPECT_EQ(report.elements, 0u);
        Bytes out;
        ASSERT_EQ(applyPatch(c.old, bytesOf(patch), &out), C_OK);
        EXPECT_EQ(out, c.target);
    }
}
