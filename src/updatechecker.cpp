#include "updatechecker.h"

#include "buildconfig.h"
#include "httpdownloader.h"
#include "versioninfo.h"

#include <QDebug>
#include <QNetworkRequest>

UpdateChecker::UpdateChecker(QObject *parent, const QUrl &serverUrl) : QObject(parent), m_ServerUrl(serverUrl)
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
}

QUrl UpdateChecker::defaultServerUrl()
{
    return QUrl(QString::fromUtf8(buildconfig::kVersionServerUrl));
}

void UpdateChecker::check()
{
    qDebug() << "UpdateChecker::check" << m_ServerUrl.toString();
    QNetworkRequest request(m_ServerUrl);
    HTTPDownloader *worker = new HTTPDownloader(request);
    connect(worker, SIGNAL(download_available(QByteArray)), this, SLOT(on_updateCheckAvailable(QByteArray)));
    worker->start();
}

QPair<QString, QString> UpdateChecker::channelVersion(const UpdateVersions &versions, int channel)
{
    static const char *const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QString::fromLatin1(names[channel]));
}

UpdateVersions UpdateChecker::decodeVersions(const QByteArray &body)
{
    UpdateVersions result;
    VersionInfo info;
    if (parseVersions(body.constData(), static_cast<unsigned>(body.size()), &info) != 0 ||
        info.channelNames.empty())
        return result;
    for (const std::string &name : info.channelNames) {
        const auto it = info.channels.find(name);
        const VersionInfo::ChannelVersion version =
            it != info.channels.end() ? it->second : VersionInfo::ChannelVersion();
        result.insert(QString::fromStdString(name),
                      qMakePair(QString::number(static_cast<quint32>(version.versionNumber)),
                                QString::fromStdString(version.versionString)));
    }
    return result;
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    const UpdateVersions versions = decodeVersions(updateData);
    qDebug() << "on_updateCheckAvailable" << updateData.size() << "bytes," << versions.size() << "channels";
    emit update_available(versions);
    deleteLater();
}
