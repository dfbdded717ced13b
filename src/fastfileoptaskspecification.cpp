#include "fastfileoptaskspecification.h"

#include <QDir>

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path, RollbackDataList *journal,
                                                         QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), p_Journal(journal), path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    if (doOp())
        taskDone();
    else
        taskFailed();
}

void FastFileOpTaskSpecification::addRollbackData(const RollbackData &entry)
{
    if (p_Journal)
        p_Journal->append(entry);
}

bool FastFileOpTaskSpecification::isRelativeInside(const QString &relativePath)
{
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath))
        return false;
    const QString clean = QDir::cleanPath(relativePath);
    return clean != "." && clean != ".." && !clean.startsWith("../");
}
