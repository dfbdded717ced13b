// Compares the product ini with the installation on a pool thread and compiles the work lists:
// downloads, replacements, deletions, pre- and post-install commands.
#pragma once

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "downloadreplacelists.h"

#include <QHash>
#include <QList>

class Configuration;
class QSettings;

class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration *config, DownloadReplaceLists *lists,
                                             QObject *parent, qreal weight);

    Configuration *m_Config;
    DownloadReplaceLists *m_Lists;
    DownloadReplaceLists m_Result;

protected:
    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;
};

class MakeDownloadReplaceListFunc : public ASyncFunc {
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration *config, DownloadReplaceLists *result);

    bool run() override;

    // Operating system name of a command line: win32 1, win64 2, linux32 3, linux64 4, mac 5, else 0.
    static int osCode(const QString &name);
    // A path from the product ini that stays below the directory it is joined to: not empty, not
    // absolute, no ".." component, and not the directory itself.
    static bool isContainedPath(const QString &path);
    // Name of the product ini in the session directory.
    static QString productIniName(int clientUpdate);

    Configuration *m_Config;
    DownloadReplaceLists *m_Result;

private:
    class DigestPipeline;
    struct PatchEntry {
        QString section;
        QString key;
        QString patchSha512;
        quint64 patchSize;
        QString target;
        QString baseSha512;
        quint64 baseSize;
    };
    typedef QHash<QString, QList<PatchEntry>> PatchTable;

    bool fileSection(QSettings &ini, const QString &section, const QStringList &keys,
                     const PatchTable &patches);
    bool deleteSection(QSettings &ini, const QStringList &keys);
    bool commandSection(QSettings &ini, const QString &section, const QStringList &keys);
    void reportProgress();
    void invalidLine(const QString &section);
    // SHA-512 comparison of a file with the expected text (RSA check when the text is empty).
    static bool fileMatches(DigestPipeline &digests, const QString &file, const QString &sha512);

    int m_Total = 0;
    int m_Counter = 0;
};
