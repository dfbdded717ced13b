// Base of the short file operations that run synchronously inside execute() on the main thread.
#pragma once

#include "rollback.h"
#include "taskspecification.h"

#include <QString>

class FastFileOpTaskSpecification : public TaskSpecification {
    Q_OBJECT
public:
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *journal, QObject *parent,
                                qreal weight);

    void execute() override;

    // True when `relativePath` names something strictly below the directory it is joined to:
    // not empty, not absolute, and no ".." leading out of it. Paths from the product ini are
    // checked with it before anything is written or removed.
    static bool isRelativeInside(const QString &relativePath);

protected:
    virtual bool doOp() = 0;
    void addRollbackData(const RollbackData &entry);

    RollbackDataList *p_Journal; // not owned; null records nothing
    QString path;
};
