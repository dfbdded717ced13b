#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(DownloadReplaceLists *lists,
                                                                     QNetworkAccessManager *manager,
                                                                     Configuration *config, QObject *parent,
                                                                     qreal weight)
    : ComposedTaskSpecification(qMax(1, config->m_Streams), parent, weight), m_Downloads(&lists->downloads),
      m_Manager(manager), m_Config(config), m_TotalBytes(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    if (m_Downloads->isEmpty()) {
        emit message("No downloads needed");
        taskDone();
        return;
    }
    if (!makeDirectories())
        return;
    emit message("Downloading files");
    const qreal share = 1.0 / m_Downloads->size();
    for (const DownloadEntry &e : *m_Downloads) {
        addSubtask(new DownloadFileTaskSpecification(e, m_Manager, m_Config, this, share));
        // Sizes come from the product ini: saturate rather than wrap.
        m_TotalBytes = e.size > quint64(INT64_MAX - m_TotalBytes) ? INT64_MAX : m_TotalBytes + qint64(e.size);
    }
    m_TaskState = TASK_RUNNING;
    startSubtasks();
}

bool DownloadFileListTaskSpecification::makeDirectories()
{
    const QDir d(m_Config->m_TempDir);
    QSet<QString> done{"."};
    for (const DownloadEntry &e : *m_Downloads) {
        const QString p = QFileInfo(e.name).path();
        if (done.contains(p))
            continue;
        if (d.mkpath(p)) {
            done.insert(p);
        } else {
            emit message(QString("Could not create dir %1").arg(d.canonicalPath() + "/" + p));
            taskFailed();
            return false;
        }
    }
    return true;
}

void DownloadFileListTaskSpecification::getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed,
                                                            bool *downloading)
{
    ComposedTaskSpecification::getDownloadProgress(done, total, speed, downloading);
    *total = quint64(m_TotalBytes);
}

void DownloadFileListTaskSpecification::reset()
{
    deleteSubtasks();
    m_TotalBytes = 0;
    ComposedTaskSpecification::reset();
}
