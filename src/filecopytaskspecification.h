// Copies a downloaded file into place. The copy refuses an existing destination.
#pragma once

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

class FileCopyFunc : public SlowFileOpFunc {
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &destination);
    bool run() override;
};

class FileCopyTaskSpecification : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList *journal, const QString &source, const QString &destination,
                              QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};
