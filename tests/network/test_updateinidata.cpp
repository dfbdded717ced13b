// The session record in update.ini next to the executable (redirected into a temporary directory).
#include "configuration.h"
#include "testutil.h"
#include "updateinidata.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class UpdateIniDataTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.isValid());
        Configuration::overrideUpdaterDir(m_Dir.path());
        m_Session = m_Dir.path() + "/talvenor_temp_3";
        ASSERT_TRUE(QDir().mkpath(m_Session));
    }
    void TearDown() override { Configuration::overrideUpdaterDir(QString()); }

    QTemporaryDir m_Dir;
    QString m_Session;
};

} // namespace

TEST_F(UpdateIniDataTest, RecordValidity)
{
    EXPECT_EQ(UpdateIniData::localIniPath(), QDir(m_Dir.path()).absoluteFilePath("update.ini"));
    struct Case {
        const char *what;
        QByteArray ini;
        bool valid;
    };
    const QByteArray dir = m_Session.toUtf8();
    const QList<Case> cases = {
        {"complete", "[current]\nversion=4711\ndir=" + dir + "\ntl3dir=/opt/t3\ntype=client_linux_amd64\n",
         true},
        {"version not a number", "[current]\nversion=abc\ndir=" + dir + "\ntl3dir=/opt/t3\ntype=x\n", false},
        {"type empty", "[current]\nversion=1\ndir=" + dir + "\ntl3dir=/opt/t3\ntype=\n", false},
        {"dir empty", "[current]\nversion=1\ndir=\ntl3dir=/opt/t3\ntype=x\n", false},
        {"dir deleted", "[current]\nversion=1\ndir=" + dir + "_gone\ntl3dir=/opt/t3\ntype=x\n", false},
        {"other group only", "[update]\nversion=1\ndir=" + dir + "\ntype=x\n", false},
        {"no file", QByteArray(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(UpdateIniData::localIniPath());
        if (!c.ini.isNull()) {
            ASSERT_TRUE(testutil::writeFile(UpdateIniData::localIniPath(), c.ini));
        }
        int version = -5;
        QString type = "untouched", dir = "untouched", tl3dir = "untouched";
        EXPECT_EQ(UpdateIniData::get(&version, &type, &dir, &tl3dir), c.valid);
        if (c.valid) {
            EXPECT_EQ(version, 4711);
            EXPECT_EQ(type, "client_linux_amd64");
            EXPECT_EQ(dir, m_Session);
            EXPECT_EQ(tl3dir, "/opt/t3");
            EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        } else {
            EXPECT_EQ(version, -5);
            EXPECT_EQ(type, "untouched");
            EXPECT_EQ(dir, "untouched");
            EXPECT_EQ(tl3dir, "untouched");
        }
    }
}

TEST_F(UpdateIniDataTest, ModifyKeepsOtherGroups)
{
    ASSERT_TRUE(testutil::writeFile(UpdateIniData::localIniPath(),
                                    "[update]\nproxy=http://proxy:3128\nstreams=3\n\n[Channel]\nbeta=true\n"
                                    "\n[current]\nversion=1\ndir=/old\n"));
    UpdateIniData::modify(5000, m_Session, "/opt/t3", "update_linux_amd64");
    QSettings ini(UpdateIniData::localIniPath(), QSettings::IniFormat);
    EXPECT_EQ(ini.value("update/proxy").toString(), "http://proxy:3128");
    EXPECT_EQ(ini.value("update/streams").toInt(), 3);
    EXPECT_TRUE(ini.value("Channel/beta").toBool());
    int version = 0;
    QString type, dir, tl3dir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &tl3dir));
    EXPECT_EQ(version, 5000);
    EXPECT_EQ(dir, m_Session);
    EXPECT_EQ(tl3dir, "/opt/t3");
    EXPECT_EQ(type, "update_linux_amd64");
}

TEST_F(UpdateIniDataTest, TempIniCopiesTheRecordWithTheClientProduct)
{
    const QString tempIni = m_Session + "/update.ini";
    // Without a valid record nothing is written.
    UpdateIniData::modifyTempIni(m_Session);
    EXPECT_FALSE(QFile::exists(tempIni));

    UpdateIniData::modify(6000, m_Session, "/opt/t3", "update_linux_amd64");
    UpdateIniData::modifyTempIni(m_Session);
    QSettings ini(tempIni, QSettings::IniFormat);
    EXPECT_EQ(ini.value("current/version").toInt(), 6000);
    EXPECT_EQ(ini.value("current/dir").toString(), m_Session);
    EXPECT_EQ(ini.value("current/tl3dir").toString(), "/opt/t3");
    EXPECT_EQ(ini.value("current/type").toString(), "client_linux_amd64");
}
