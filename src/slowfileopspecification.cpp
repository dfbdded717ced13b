#include "slowfileopspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(RollbackDataList *journal, const QString &source,
                                                 const QString &patch, const QString &destination,
                                                 const QString &failureFormat, QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), p_Journal(journal), m_Source(source), m_Patch(patch),
      m_Destination(destination), failureMessage(failureFormat.arg(source, destination))
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok && p_Journal)
        p_Journal->append(RollbackData(RollbackData::FILE_CREATE, m_Destination));
    if (!ok)
        emit message(failureMessage);
    ASyncTaskSpecification::runDone(ok);
}
