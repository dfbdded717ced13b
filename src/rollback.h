// In-memory journal of the file changes made while installing, so that a failed or cancelled
// replacement can be undone newest-first.
#pragma once

#include <QList>
#include <QString>

class QObject;

class RollbackData {
public:
    enum Operation { FILE_RENAME = 0, FILE_CREATE = 1, DIR_CREATE = 2 };

    // A rename from `from` to `to` (FILE_RENAME only).
    RollbackData(int op, const QString &from, const QString &to);
    // A file written or a directory created (FILE_CREATE or DIR_CREATE).
    RollbackData(int op, const QString &path);

    // Undoes this one change. On failure sends one warning to `target` and returns false.
    bool rollback(QObject *target) const;

    // Invokes the member `message(QString)` of `target` by name; nothing when target is null.
    static void message(QObject *target, const QString &text);

    int op;
    QString path;         // the file or directory now present (for a rename: its new name)
    QString originalPath; // for a rename: the name before it; empty otherwise
};

class RollbackDataList : public QList<RollbackData> {};

// Undoes every entry of `journal`, newest first, and leaves it empty. Failures do not stop the
// playback; the result is true only if every undo succeeded.
bool rollbackAll(RollbackDataList &journal, QObject *target);
