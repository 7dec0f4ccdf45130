#pragma once

#include "testfiles.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Helpers of the tests that drive the built updater from outside (the general ones are in
// tests/support). Test thread only.
namespace E2e {

using namespace TestSupport;

QString updaterPath();

// Appends the given entries of sourceDir (paths relative to it, directories with their contents)
// to zipPath in the order given, uncompressed, so that patchZipNames finds their names.
bool appendToZip(const QString &sourceDir, const QStringList &entries, const QString &zipPath,
                 QString *error);

// Replaces every occurrence of `from` by `to` (same length) in a zip file: lets a test give an
// entry a name that no file system tree can carry, such as one that climbs out with "../".
bool patchZipNames(const QString &zipPath, const QByteArray &from, const QByteArray &to);

// A shell script standing in for the client: every start appends "<label> started" to logPath;
// started with "--stay SECONDS" it keeps running that long, with "--until FILE" until that file
// exists, and then appends "<label> exited"; asked to close (SIGTERM) while it stays, it appends
// "<label> closed" and exits at once.
QByteArray fakeClientScript(const QString &label, const QString &logPath);

} // namespace E2e
