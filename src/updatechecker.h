// Asks the version server for the newest version of every release channel.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

// Channel name -> (version number as unsigned decimal text, version string).
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;
Q_DECLARE_METATYPE(UpdateVersions)

class UpdateChecker : public QObject {
    Q_OBJECT
public:
    // The server URL is fixed at build time; tests pass their own server.
    explicit UpdateChecker(QObject *parent, const QUrl &serverUrl = defaultServerUrl());

    static QUrl defaultServerUrl();

    // Starts the query and returns at once; update_available follows exactly once.
    void check();

    // channel 0 "stable", 1 "beta", 2 "alpha"; anything else or a missing name: an empty pair.
    static QPair<QString, QString> channelVersion(const UpdateVersions &versions, int channel);

    // The reply body as the map handed to the configuration; empty when it is unusable.
    static UpdateVersions decodeVersions(const QByteArray &body);

signals:
    void update_available(UpdateVersions versions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    QUrl m_ServerUrl;
};
