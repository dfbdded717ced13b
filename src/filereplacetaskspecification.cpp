#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry &entry,
                                                           RollbackDataList *runJournal,
                                                           Configuration *config, QObject *parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), p_RunJournal(runJournal), p_Config(config)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QString("add/replace %1").arg(m_Entry.name));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString tempDir = p_Config->m_TempDir;
    const QString relative = m_Entry.destinationPath();
    const QString source = tempDir + "/" + m_Entry.name;
    const QString destination = p_Config->m_InstallDir + "/" + relative;
    const QString old = tempDir + "/" + relative + "_old";
    qDebug() << "FileReplaceTaskSpecification: spec:" << m_Entry.name << " src:" << source
             << " dstFile:" << destination << " hasPatch:" << m_Entry.hasPatch()
             << " patchFile:" << m_Entry.patchName;

    if (m_Entry.hasPatch()) {
        qDebug() << "HAS PATCH" << m_Entry.patchName;
        qDebug() << "Remove" << old << QFile::remove(old);
        const QString oldDir = QFileInfo(old).absolutePath();
        const bool oldDirExists = QFileInfo::exists(oldDir);
        qDebug() << "tempOldAbsPath" << oldDir << oldDirExists;
        if (!oldDirExists)
            qDebug() << "Created" << oldDir << QDir().mkpath(oldDir);
        // A missing installed file is not stopped here: the patch then fails on its own.
        qDebug() << "Copy" << destination << "->" << old << QFile::copy(destination, old);
    }

    // The installed file is moved aside into the session directory, journaled, rather than
    // overwritten: a rollback then brings it back, and the copy, which refuses an existing
    // destination, can replace an out-of-date file.
    const QFileInfo installed(destination);
    if (installed.isSymLink() || (installed.exists() && !installed.isDir())) {
        const QString aside = tempDir + "/" + relative + "_replaced_";
        QFile::remove(aside); // left over from an interrupted run
        QDir().mkpath(QFileInfo(aside).absolutePath());
        addSubtask(new FileRenameTaskSpecification(destination, aside, &m_FileJournal, this, 0.0));
    }

    if (!m_Entry.hasTarget()) {
        addSubtask(new FileCopyTaskSpecification(&m_FileJournal, source, destination, this, 1.0));
    } else {
        if (m_Entry.hasPatch()) {
            emit message(QString("Patching %1").arg(relative));
            addSubtask(new FileTaskSpecification_patch(&m_FileJournal, old, tempDir + "/" + m_Entry.patchName,
                                                       destination, this, 0.8));
        } else if (QFileInfo(source).suffix() == "_lzma2_") {
            addSubtask(new FileUnpackTaskSpecification_lzma2(&m_FileJournal, source, destination, this, 0.8));
        } else {
            addSubtask(new FileUnpackTaskSpecification_zip(&m_FileJournal, source, destination, this, 0.8));
        }
        addSubtask(new CheckSignatureTaskSpecification(destination, m_Entry.targetSha512, true, this, 0.2));
    }
    startSubtasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (subtasksResult() == TASK_FINISHED) {
        if (p_RunJournal)
            p_RunJournal->append(m_FileJournal);
        makeSingleFileExecutable(p_Config->m_InstallDir + "/" + m_Entry.destinationPath());
    } else {
        rollbackAll(m_FileJournal, this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    deleteSubtasks();
    rollbackAll(m_FileJournal, this);
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    static const QStringList names = {
        "tl3client_linux_x86", "tl3client_linux_amd64", "tl3client_runscript.sh", "update",
        "error_report",        "package_inst",          "QtWebEngineProcess"};
    static const QStringList suffixes = {"so", "so.0", "so.1", "so.4", "so.5"};
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (!names.contains(info.fileName()) && !suffixes.contains(info.completeSuffix()))
        return;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                    QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser |
                                    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
    qDebug() << "Set executable flag on" << path;
}
