#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString &path,
                                                         bool recursive, QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight), mustSucceed(mustSucceed),
      recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(path);
    bool ok;
    // A symbolic link is removed as a link: following it could empty a directory elsewhere.
    if (!info.isDir() || info.isSymLink()) {
        ok = QFile::remove(path);
        qDebug() << "Deleted file" << path << ok;
        if (ok)
            emit message(QString("Deleted file '%1'").arg(path));
    } else if (recursive) {
        ok = QDir(path).removeRecursively();
        qDebug() << "Recursively deleted directory" << path << ok;
        if (ok)
            emit message(QString("Recursively deleted directory '%1'").arg(path));
    } else {
        // Removes the directory and then every parent it leaves empty, up to the first that
        // cannot be removed.
        ok = QDir().rmpath(path);
        qDebug() << "Deleted directory" << path << ok;
        if (ok)
            emit message(QString("Deleted directory '%1'").arg(path));
    }
    if (!ok && mustSucceed) {
        emit message(QString("Could not delete '%1'").arg(path));
        return false;
    }
    return true;
}
