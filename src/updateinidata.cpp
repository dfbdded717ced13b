#include "updateinidata.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

QString UpdateIniData::localIniPath()
{
    return QDir(Configuration::updaterDir()).absoluteFilePath("update.ini");
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *tl3dir)
{
    const QString path = localIniPath();
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup("current");
    bool versionOk = false;
    const int v = ini.value("version").toInt(&versionOk);
    const QString d = ini.value("dir").toString();
    const QString t3 = ini.value("tl3dir").toString();
    const QString t = ini.value("type").toString();
    ini.endGroup();
    qDebug() << "get" << path << v << d << t3 << t;
    if (!versionOk || t.isEmpty() || d.isEmpty() || !QFileInfo::exists(d))
        return false;
    if (version)
        *version = v;
    if (dir)
        *dir = d;
    if (tl3dir)
        *tl3dir = t3;
    if (type)
        *type = t;
    return true;
}

void UpdateIniData::modify(int version, const QString &dir, const QString &tl3dir, const QString &type)
{
    const QString path = localIniPath();
    qDebug() << "modify" << path << version << dir << tl3dir << type;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup("current");
    ini.setValue("version", version);
    ini.setValue("dir", dir);
    ini.setValue("tl3dir", tl3dir);
    ini.setValue("type", type);
    ini.endGroup();
}

void UpdateIniData::modifyTempIni(const QString &dir)
{
    const QString path = dir + "/" + "update.ini";
    qDebug() << "modifyTempIni" << path;
    int version = 0;
    QString recordDir;
    QString tl3dir;
    if (!get(&version, nullptr, &recordDir, &tl3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return;
    }
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup("current");
    ini.setValue("version", version);
    ini.setValue("dir", recordDir);
    ini.setValue("tl3dir", tl3dir);
    ini.setValue("type", Configuration::productName(true));
    ini.endGroup();
}
