// Decompresses a gzip download into place. zlib's reader passes bytes that are not gzip through
// unchanged, so a plain download is copied.
#pragma once

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

class FileUnpackFunc_Zip : public SlowFileOpFunc {
    Q_OBJECT
public:
    FileUnpackFunc_Zip(const QString &source, const QString &destination);
    bool run() override;

    // Writes the decompressed content of `source` to `destination`; on a read or write error the
    // destination is removed.
    static bool gunzipFile(const QString &destination, const QString &source);
};

class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification {
    Q_OBJECT
public:
    FileUnpackTaskSpecification_zip(RollbackDataList *journal, const QString &source,
                                    const QString &destination, QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};
