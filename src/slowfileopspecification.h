// Base of the file operations that produce one destination file on a pool thread (copy, unpack,
// patch). A success is journaled as FILE_CREATE of the destination; a failure sends the prepared
// failure text.
#pragma once

#include "asynctaskspecification.h"
#include "rollback.h"

#include <QString>

class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT
public:
    SlowFileOpSpecification(RollbackDataList *journal, const QString &source, const QString &patch,
                            const QString &destination, const QString &failureFormat, QObject *parent,
                            qreal weight);

protected:
    void runDone(bool ok) override;

    RollbackDataList *p_Journal; // not owned; null records nothing
    QString m_Source;
    QString m_Patch;
    QString m_Destination;
    QString failureMessage;
};
