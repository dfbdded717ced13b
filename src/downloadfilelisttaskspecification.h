// Fetches every entry of the download list into the session directory, m_Streams at a time.
#pragma once

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;
class QNetworkAccessManager;

class DownloadFileListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(DownloadReplaceLists *lists, QNetworkAccessManager *manager,
                                      Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    void reset() override;
    // The planned size of the whole list stands as the total from the first poll on.
    void getDownloadProgress(quint64 *done, quint64 *total, quint64 *speed, bool *downloading) override;

    // Every directory a download is written into, made before any transfer starts.
    bool makeDirectories();

    QList<DownloadEntry> *m_Downloads;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    qint64 m_TotalBytes;
};
