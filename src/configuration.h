// The settings of one updater run: what is updated, to which version, from where, into where.
#pragma once

#include "updatechecker.h"

#include <QObject>
#include <QString>
#include <QStringList>

class Configuration : public QObject {
    Q_OBJECT

public:
    explicit Configuration(QObject *parent = nullptr);
    ~Configuration() override;

    // Read by the other parts of the program; set here only.
    bool m_Ready = false;
    int m_ClientUpdate = 0; // 0: updater update (step one), 1: client update (step two)
    int m_Channel = 0;      // 0 stable, 1 beta, 2 alpha
    QString m_ClientType;
    int m_Version = 0; // target version; 0 while none is chosen
    QString m_VersionString;
    QString m_TempDir;
    QString m_InstallDir;
    QString m_Proxy;
    int m_Streams = 0;

    // Base URL of the file server for the chosen channel, always ending in "/" once set.
    static QString s_DownloadBaseUrl;

    static QString productName(bool client);
    static QString updaterDir();
    static QString runScriptName();
    static QString configDir();

    // Replaces the executable's directory returned by updaterDir(); an empty text restores it.
    // For tests and tools that run the updater classes from another program.
    static void overrideUpdaterDir(const QString &dir);

    // Creates exactly one directory level with mode 0700. Succeeds only when this call made the
    // directory: an existing directory or a symbolic link in its place is refused.
    static bool createPrivateDir(const QString &path);

    bool parseCommandLineOptions();
    bool parseCommandLineOptions(const QStringList &arguments);
    bool initalizeStart(const QString &tempDir, const QString &installDir);
    void readUpdaterSettings();

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

protected:
    void getUpdateChannel();
    bool getDefaultParameters();
    bool parseClientArguments(const QStringList &arguments, int i);
    bool parseVersion(const QString &text, const QString &errorTemplate);
    bool createTempDir();

    // Starts the query for the current version of each channel; its answer is expected to come back
    // through a queued signal on the main thread.
    virtual void startVersionQuery();
    // The version query failed outright: tells the user, then leaves the event loop.
    virtual void reportVersionQueryFailure();
    // The system temporary directory.
    virtual QString systemTempPath() const;

private slots:
    // The version server's answer: the target version of this channel, or a failure.
    void on_updateAvailable(UpdateVersions versions);
};
