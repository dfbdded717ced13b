// The session record: group "current" of update.ini next to the running executable, which ties
// the two steps of an update (and an interrupted session) together.
#pragma once

#include <QString>

class UpdateIniData {
public:
    // Reads the record; values are stored through the non-null pointers only when it is valid
    // (version an integer, type and dir non-empty, dir existing).
    static bool get(int *version, QString *type, QString *dir, QString *tl3dir);
    // Writes the four keys, keeping every other group of the file.
    static void modify(int version, const QString &dir, const QString &tl3dir, const QString &type);
    // Copies the record into dir/update.ini for the new updater copy, with the client's product.
    static void modifyTempIni(const QString &dir);
    // update.ini next to the executable.
    static QString localIniPath();
};
