// Creates a directory together with its missing parents, journaling every level it created.
#pragma once

#include "fastfileoptaskspecification.h"

class DirCreateTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *journal, QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    bool createDirectory(const QString &p);
};
