// Small helpers shared by the test areas.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testutil {

// Runs a program, waits for it, returns its exit code (-1 when it could not start).
// Standard output and error are returned through the optional pointers.
int runProgram(const QString &program, const QStringList &args, QByteArray *out = nullptr,
               QByteArray *err = nullptr, int timeoutMs = 120000);

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);

// Path of a file under tests/fixtures.
QString fixture(const QString &name);

// Path of the release tool built with the tests.
QString releaseTool();

}  // namespace testutil
