#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QDebug>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry &entry,
                                                             QNetworkAccessManager *manager,
                                                             Configuration *config, QObject *parent,
                                                             qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Entry(entry), m_Manager(manager), m_Config(config),
      m_Download(nullptr)
{
}

void DownloadFileTaskSpecification::execute()
{
    const QString localFile = m_Config->m_TempDir + "/" + m_Entry.name;
    // The product ini's size caps the download: more data is never written.
    m_Download =
        new DownloadTaskSpecification(m_Manager, m_Entry.section + "/" + m_Entry.name, m_Config->m_Version,
                                      localFile, qint64(qMin<quint64>(m_Entry.size, INT64_MAX)), this, 0.8);
    addSubtask(m_Download);
    // A file that does not match the signed product ini must never reach the installation, so a
    // mismatch fails this task (and with it the list and the run).
    CheckSignatureTaskSpecification *check =
        new CheckSignatureTaskSpecification(localFile, m_Entry.sha512, true, this, 0.2);
    connect(check, SIGNAL(checkDone(bool, CheckSignatureTaskSpecification *)), this,
            SLOT(onSigCheckDone(bool, CheckSignatureTaskSpecification *)));
    addSubtask(check);
    m_TaskState = TASK_RUNNING;
    startSubtasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *check)
{
    Q_UNUSED(check);
    if (!pass)
        qDebug() << "Downloaded file does not match the product ini:" << m_Entry.section << m_Entry.name;
}

void DownloadFileTaskSpecification::reset()
{
    deleteSubtasks();
    m_Download = nullptr;
    ComposedTaskSpecification::reset();
}
