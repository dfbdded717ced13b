#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace testutil {

int runProgram(const QString &program, const QStringList &args, QByteArray *out, QByteArray *err,
               int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return -1;
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

QString fixture(const QString &name)
{
    return QStringLiteral(TL3_FIXTURES_DIR "/") + name;
}

QString releaseTool()
{
    return QStringLiteral(TL3_RELEASE_TOOL);
}

}  // namespace testutil
