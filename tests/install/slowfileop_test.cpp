// Copy, gzip unpack, container unpack and patch on the thread pool: results, texts, journal entries.
#include "filecopytaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "installtestutil.h"
#include "patcher/packed_file.h"
#include "testutil.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using testutil::readFile;
using testutil::runProgram;
using testutil::writeFile;

namespace {

class SlowFileOpTest : public ::testing::Test {
protected:
    QString p(const QString &rel) const { return m_Dir.path() + "/" + rel; }

    // A gzip file made by the gzip program.
    QByteArray gzipped(const QByteArray &data)
    {
        const QString plain = p("gzip_input");
        writeFile(plain, data);
        QByteArray out;
        EXPECT_EQ(runProgram("gzip", {"-c", "-n", plain}, &out), 0);
        QFile::remove(plain);
        return out;
    }

    QTemporaryDir m_Dir;
    RollbackDataList m_Journal;
};

QByteArray sample(int size)
{
    QByteArray data;
    data.reserve(size);
    for (int i = 0; i < size; ++i)
        data.append(char((i * 7919) ^ (i >> 9)));
    return data;
}

TEST_F(SlowFileOpTest, CopyWritesTheDestinationAndJournalsIt)
{
    writeFile(p("src"), sample(70000));
    FileCopyTaskSpecification task(&m_Journal, p("src"), p("dst"), nullptr, 1.0);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    EXPECT_EQ(readFile(p("dst")), sample(70000));
    ASSERT_EQ(m_Journal.size(), 1);
    EXPECT_EQ(m_Journal[0].op, int(RollbackData::FILE_CREATE));
    EXPECT_EQ(m_Journal[0].path, p("dst"));
    EXPECT_TRUE(rec.messages.isEmpty());
}

TEST_F(SlowFileOpTest, CopyOntoAnExistingFileFailsAndLeavesItAlone)
{
    writeFile(p("src"), "new");
    writeFile(p("dst"), "installed");
    FileCopyTaskSpecification task(&m_Journal, p("src"), p("dst"), nullptr, 1.0);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_EQ(rec.messages, QStringList{QString("Could not copy '%1' to '%2'").arg(p("src"), p("dst"))});
    EXPECT_EQ(readFile(p("dst")), QByteArray("installed"));
    EXPECT_TRUE(m_Journal.isEmpty());
    EXPECT_EQ(rec.ends, 1);
}

// What the gzip unpack makes of different sources; "missing" has no source file at all.
struct GzipCase {
    const char *name;
    enum { Missing, Gzip, Plain, Empty, Truncated, BadCrc } kind;
    bool ok;
};

TEST_F(SlowFileOpTest, GzipUnpackCases)
{
    const QByteArray content = sample(100000); // several reads of the fixed buffer
    const GzipCase cases[] = {
        {"gzip file", GzipCase::Gzip, true},
        {"not gzip: passed through", GzipCase::Plain, true},
        {"empty source", GzipCase::Empty, true},
        {"missing source", GzipCase::Missing, false},
        {"truncated gzip", GzipCase::Truncated, false},
        {"gzip with a wrong checksum", GzipCase::BadCrc, false},
    };
    for (const GzipCase &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(p("src.gz"));
        QFile::remove(p("dst"));
        m_Journal.clear();
        QByteArray expected;
        switch (c.kind) {
        case GzipCase::Missing:
            break;
        case GzipCase::Gzip:
            writeFile(p("src.gz"), gzipped(content));
            expected = content;
            break;
        case GzipCase::Plain:
            writeFile(p("src.gz"), content);
            expected = content;
            break;
        case GzipCase::Empty:
            writeFile(p("src.gz"), QByteArray());
            break;
        case GzipCase::Truncated: {
            const QByteArray gz = gzipped(content);
            writeFile(p("src.gz"), gz.left(gz.size() / 2));
            break;
        }
        case GzipCase::BadCrc: {
            QByteArray gz = gzipped(content);
            gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x55); // the CRC-32 trailer
            writeFile(p("src.gz"), gz);
            break;
        }
        }
        FileUnpackTaskSpecification_zip task(&m_Journal, p("src.gz"), p("dst"), nullptr, 1.0);
        TaskRecorder rec(&task);
        EXPECT_EQ(rec.run(), c.ok ? TASK_FINISHED : TASK_FAILED);
        if (c.ok) {
            EXPECT_TRUE(QFileInfo(p("dst")).isFile());
            EXPECT_EQ(readFile(p("dst")), expected);
            EXPECT_EQ(m_Journal.size(), 1);
            EXPECT_TRUE(rec.messages.isEmpty());
        } else {
            // The destination created before the source was read is taken away again.
            EXPECT_FALSE(QFileInfo::exists(p("dst")));
            EXPECT_TRUE(m_Journal.isEmpty());
            EXPECT_EQ(rec.messages,
                      QStringList{QString("Could not unzip '%1' to '%2'").arg(p("src.gz"), p("dst"))});
        }
    }
}

TEST_F(SlowFileOpTest, ContainerUnpack)
{
    const QByteArray content = sample(200000);
    writeFile(p("plain"), content);
    ASSERT_TRUE(
        patcher::PackFile(p("plain").toUtf8().constData(), p("good._lzma2_").toUtf8().constData(), false));
    QByteArray packed = testutil::readFile(p("good._lzma2_"));
    ASSERT_GT(packed.size(), 4);
    // The second header field is the checksum of the unpacked file; its first byte off by one
    // makes the unpacker refuse the result.
    QByteArray badSum = packed;
    badSum[4] = char(badSum[4] ^ 1);
    writeFile(p("badsum._lzma2_"), badSum);
    writeFile(p("notpacked._lzma2_"), "plain bytes, not a container");

    struct {
        const char *source;
        bool ok;
    } cases[] = {{"good._lzma2_", true},
                 {"badsum._lzma2_", false},
                 {"notpacked._lzma2_", false},
                 {"missing._lzma2_", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        m_Journal.clear();
        QFile::remove(p("dst"));
        FileUnpackTaskSpecification_lzma2 task(&m_Journal, p(c.source), p("dst"), nullptr, 0.8);
        TaskRecorder rec(&task);
        EXPECT_EQ(rec.run(), c.ok ? TASK_FINISHED : TASK_FAILED);
        EXPECT_EQ(m_Journal.size(), c.ok ? 1 : 0);
        if (c.ok) {
            EXPECT_EQ(readFile(p("dst")), content);
            EXPECT_TRUE(rec.messages.isEmpty());
        } else {
            EXPECT_FALSE(QFileInfo::exists(p("dst")));
            EXPECT_EQ(rec.messages,
                      QStringList{QString("Could not unpack '%1' to '%2'").arg(p(c.source), p("dst"))});
        }
    }

    // A failed unpack leaves an existing destination as it was.
    writeFile(p("dst"), "installed");
    FileUnpackTaskSpecification_lzma2 task(&m_Journal, p("badsum._lzma2_"), p("dst"), nullptr, 0.8);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_EQ(readFile(p("dst")), QByteArray("installed"));
}

TEST_F(SlowFileOpTest, PatchWithBadMagicFailsWithItsTexts)
{
    writeFile(p("old"), "installed");
    writeFile(p("x_patch_"), "this is not an ensemble patch");
    LogCapture log;
    FileTaskSpecification_patch task(&m_Journal, p("old"), p("x_patch_"), p("new"), nullptr, 0.8);
    TaskRecorder rec(&task);
    EXPECT_EQ(rec.run(), TASK_FAILED);
    EXPECT_EQ(rec.messages, QStringList{QString("Could not patch '%1' to '%2'").arg(p("old"), p("new"))});
    EXPECT_TRUE(m_Journal.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(p("new")));
    EXPECT_GE(log.find("FileTaskSpecification_patch srcFile:"), 0);
    const int status = log.find("ApplyEnsemblePatch status = 5");
    ASSERT_GE(status, 0) << log.lines().join("\n").toStdString();
    const int text = log.find("Not an ensemble patch", status);
    ASSERT_GT(text, status);
    EXPECT_GT(log.find("Patch result false", text), text);
}

TEST_F(SlowFileOpTest, SuccessWithoutJournalRecordsNothing)
{
    writeFile(p("src"), "x");
    FileCopyTaskSpecification copy(nullptr, p("src"), p("dst"), nullptr, 0.25);
    TaskRecorder rec(&copy);
    EXPECT_EQ(rec.run(), TASK_FINISHED);
    EXPECT_DOUBLE_EQ(copy.m_Progress, 0.25);
    EXPECT_EQ(readFile(p("dst")), QByteArray("x"));
}

} // namespace
