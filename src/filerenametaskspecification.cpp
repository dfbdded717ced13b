#include "filerenametaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &oldName, const QString &newName,
                                                         RollbackDataList *journal, QObject *parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(newName, journal, parent, weight), m_OldName(oldName)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString dir = QFileInfo(path).path();
    if (!QFileInfo::exists(dir))
        QDir().mkdir(dir);
    // QFile::rename refuses an existing destination, so nothing is ever overwritten here.
    if (!QFile::rename(m_OldName, path)) {
        emit message(QString("Could not rename '%1' to '%2'").arg(m_OldName, path));
        return false;
    }
    addRollbackData(RollbackData(RollbackData::FILE_RENAME, m_OldName, path));
    return true;
}
