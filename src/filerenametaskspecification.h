// Renames a file, journaling the rename so that a rollback moves it back.
#pragma once

#include "fastfileoptaskspecification.h"

class FileRenameTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &oldName, const QString &newName, RollbackDataList *journal,
                                QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    QString m_OldName;
};
