#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDebug>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteEntry> *deletes,
                                                                 Configuration *config, QObject *parent,
                                                                 qreal weight)
    : ComposedTaskSpecification(1, parent, weight), p_Deletes(deletes), p_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message("Starting deleting files");
    const qreal share = 1.0 / qMax(1, p_Deletes->size());
    for (const DeleteEntry &entry : *p_Deletes) {
        // Deleting is best-effort anyway; a path leading out of the installation is skipped.
        if (!FastFileOpTaskSpecification::isRelativeInside(entry.path)) {
            qDebug() << "Refusing to delete outside the installation" << entry.path;
            continue;
        }
        addSubtask(new FileDeleteTaskSpecification(false, p_Config->m_InstallDir + "/" + entry.path,
                                                   entry.recursive, this, share));
    }
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    deleteSubtasks();
    TaskSpecification::reset();
}
