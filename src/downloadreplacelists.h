// The work lists compiled from the product ini: what to download, what to put in place,
// what to delete and which commands to run before and after installation.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One file to fetch from the server into the session directory.
struct DownloadEntry {
    QString section;  // server directory of the file
    QString name;     // path below the section directory, and name in the session directory
    QString sha512;   // expected digest of the download
    quint64 size = 0; // expected bytes of the download
};

// One installed file to put in place from a download (copied, unpacked or patched).
struct ReplaceEntry {
    QString section;
    QString name;         // download name in the session directory
    QString targetSha512; // digest of the installed result (empty for a plain file line)
    quint64 targetSize = 0;
    QString target;    // installed path below the install directory (empty for a plain file line)
    QString patchName; // patch file in the session directory (empty unless a patch is used)

    bool hasTarget() const { return !target.isEmpty(); }
    bool hasPatch() const { return !patchName.isEmpty(); }
    // Where the file is installed, below the install directory.
    QString destinationPath() const { return hasTarget() ? target : name; }
};

// One path below the install directory to remove.
struct DeleteEntry {
    QString path;
    bool recursive = false; // a directory removed together with its contents
};

// One program to run before or after installation.
struct InstallCommand {
    QString name;
    QStringList args; // install directory placeholder already replaced
};

struct DownloadReplaceLists {
    QList<DownloadEntry> downloads;
    QList<ReplaceEntry> replaces;
    QList<DeleteEntry> deletes;
    QList<InstallCommand> preInstall;
    QList<InstallCommand> postInstall;

    void clear()
    {
        downloads.clear();
        replaces.clear();
        deletes.clear();
        preInstall.clear();
        postInstall.clear();
    }
};
