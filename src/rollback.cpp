#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(int op, const QString &from, const QString &to)
    : op(op), path(to), originalPath(from)
{
    Q_ASSERT(op == FILE_RENAME);
}

RollbackData::RollbackData(int op, const QString &path) : op(op), path(path)
{
    Q_ASSERT(op != FILE_RENAME);
}

bool RollbackData::rollback(QObject *target) const
{
    switch (op) {
    case FILE_CREATE:
        if (!QFile::remove(path)) {
            message(target, QString("warning: rollback create file %1 failed").arg(path));
            return false;
        }
        return true;
    case DIR_CREATE: {
        const QFileInfo info(path);
        // rmdir only removes an empty directory: anything that arrived since is left alone.
        if (!QDir(info.path()).rmdir(info.fileName())) {
            message(target, QString("warning: rollback create dir %1 failed").arg(path));
            return false;
        }
        return true;
    }
    case FILE_RENAME:
        if (!QFile::rename(path, originalPath)) {
            message(target, QString("warning: rollback rename %1 to %2 failed").arg(originalPath, path));
            return false;
        }
        return true;
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject *target, const QString &text)
{
    if (!target)
        return;
    if (!QMetaObject::invokeMethod(target, "message", Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

bool rollbackAll(RollbackDataList &journal, QObject *target)
{
    bool allUndone = true;
    while (!journal.isEmpty()) {
        const RollbackData entry = journal.takeLast();
        if (!entry.rollback(target))
            allUndone = false;
    }
    return allUndone;
}
