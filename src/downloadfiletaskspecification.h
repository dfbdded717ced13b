// One file of the download list: its download followed by the check against the digest that the
// verified product ini gives for it.
#pragma once

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

class DownloadFileTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadEntry &entry, QNetworkAccessManager *manager,
                                  Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    void reset() override;

    DownloadEntry m_Entry;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    DownloadTaskSpecification *m_Download;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *check);
};
