#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSet>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceEntry> *replaces,
                                                                   Configuration *config, QObject *parent,
                                                                   qreal weight)
    : ComposedTaskSpecification(2, parent, weight), p_Replaces(replaces), p_Config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message("Starting file updates");

    // Every path of the list is joined to the install or session directory: one that leads out
    // of them stops the installation before anything is changed.
    for (const ReplaceEntry &entry : *p_Replaces) {
        const QString destination = entry.destinationPath();
        if (!FastFileOpTaskSpecification::isRelativeInside(entry.name) ||
            !FastFileOpTaskSpecification::isRelativeInside(destination) ||
            (entry.hasPatch() && !FastFileOpTaskSpecification::isRelativeInside(entry.patchName))) {
            m_TaskState = TASK_RUNNING;
            emit message(QString("Refusing to install %1 outside the installation").arg(destination));
            taskFailed();
            return;
        }
    }

    const QString installDir = p_Config->m_InstallDir;
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceEntry &entry : *p_Replaces) {
        const QString destination = entry.destinationPath();
        const QString dir = QFileInfo(installDir + "/" + destination).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    missing.sort(Qt::CaseSensitive);
    for (const QString &dir : missing)
        addSubtask(new DirCreateTaskSpecification(dir, &m_RunJournal, this, 0.1 / missing.size()));

    const qreal share = (missing.isEmpty() ? 1.0 : 0.9) / qMax(1, p_Replaces->size());
    for (const ReplaceEntry &entry : *p_Replaces)
        addSubtask(new FileReplaceTaskSpecification(entry, &m_RunJournal, p_Config, this, share));
    startSubtasks();
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (subtasksResult() != TASK_FINISHED) {
        emit message("rolling back file updates");
        rollbackAll(m_RunJournal, this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    deleteSubtasks();
    rollbackAll(m_RunJournal, this);
    TaskSpecification::reset();
}
