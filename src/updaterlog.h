// The updater's log file and the Qt message handler that writes into it.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

// Set once when the process-wide log is created: true when file logging is on.
extern bool s_LogEnabled;

class UpdaterLog {
public:
    // The process-wide log, created on first use from the system temporary directory and the
    // current time; never destroyed.
    static UpdaterLog *instance();

    // A log for a given temporary directory and start time. File logging is on only when the
    // marker "tl3_update_log" exists directly in tempDir.
    UpdaterLog(const QString &tempDir, const QDateTime &startTime);
    ~UpdaterLog();
    UpdaterLog(const UpdaterLog &) = delete;
    UpdaterLog &operator=(const UpdaterLog &) = delete;

    bool enabled() const { return m_Enabled; }

    // Writes one line for the message and flushes. Not synchronised: the handler holds the lock.
    void write(QtMsgType type, const QString &text, const QDateTime &now);

    // Flushes and closes the file; later writes go nowhere.
    void close();

    static QString logDirectory(const QString &tempDir);
    static QString logFileName(const QDateTime &startTime);

    QFile *file = nullptr; // null when file logging is off or the file could not be opened
    QTextStream stream;

private:
    bool m_Enabled = false;
};

// Installed with qInstallMessageHandler; safe to call from any thread.
void updaterMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text);
