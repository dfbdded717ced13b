// Deletes a file, a directory tree, or an empty directory with the parents it leaves empty.
// Deletions are never journaled.
#pragma once

#include "fastfileoptaskspecification.h"

class FileDeleteTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString &path, bool recursive, QObject *parent,
                                qreal weight);

protected:
    bool doOp() override;

private:
    bool mustSucceed;
    bool recursive;
};
