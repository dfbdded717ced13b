#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &fileName,
                                                                 const QString &sha512, bool failOnMismatch,
                                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_FileName(fileName), m_Sha512(sha512),
      m_FailOnMismatch(failOnMismatch)
{
    static const int s_CheckMetaType =
        qRegisterMetaType<CheckSignatureTaskSpecification *>("CheckSignatureTaskSpecification*");
    Q_UNUSED(s_CheckMetaType);
}

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_FileName, m_Sha512);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (!ok) {
        qDebug() << "Signature check failed for" << m_FileName;
        emit message(QString("Signature check failed for %1").arg(m_FileName));
    }
    emit checkDone(ok, this);
    // A directly connected receiver may already have ended this task: end only once.
    if (m_TaskState != TASK_RUNNING)
        return;
    if (ok || !m_FailOnMismatch)
        taskDone();
    else
        taskFailed();
}
