#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path, RollbackDataList *journal,
                                                       QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(path, journal, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDirectory(path);
}

bool DirCreateTaskSpecification::createDirectory(const QString &p)
{
    const QFileInfo info(QDir::cleanPath(p));
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir").arg(p));
        return false;
    }
    const QString parent = info.path();
    if (parent == "." || info.isRoot()) {
        emit message(QString("Could not create dir %1").arg(path));
        return false;
    }
    // Parents first, so the journal lists outer levels before inner ones and playback removes the
    // inner ones first. A file standing where a parent should be is reported under its own name.
    if (!QFileInfo(parent).isDir() && !createDirectory(parent))
        return false;
    if (!QDir(parent).mkdir(info.fileName())) {
        emit message(QString("unable to create dir %1").arg(p));
        return false;
    }
    addRollbackData(RollbackData(RollbackData::DIR_CREATE, p));
    return true;
}
