// Unpacks a packed-file container ("._lzma2_" download) into place.
#pragma once

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

class FileUnpackFunc_lzma2 : public SlowFileOpFunc {
    Q_OBJECT
public:
    FileUnpackFunc_lzma2(const QString &source, const QString &destination);
    bool run() override;

    bool unpackFile(const QString &source, const QString &destination);
};

class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList *journal, const QString &source,
                                      const QString &destination, QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};
