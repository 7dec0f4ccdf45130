#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

// Small helpers shared by the tests that drive the built updater from outside. Test thread only.
namespace E2e {

// The directory that holds the built programs (UPDATER_BIN_DIR, else this test's own directory).
QString binDir();
QString updaterPath();

// A directory under the build tree for files a person may want to look at after a run
// (screenshots); created on first use.
QString artifactDir();

// Writes content to path, creating missing parent directories. False when it cannot.
bool writeFile(const QString &path, const QByteArray &content);
bool writeExecutable(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// Runs a program to its end; true when it exited normally with code 0. Standard output and
// standard error, merged, go to *output when given.
bool runCommand(const QString &program, const QStringList &arguments, QString *output = nullptr,
                const QString &workingDirectory = QString(), int timeoutMs = 60000);

// Packs the contents of sourceDir (not the directory itself) into a new zipPath with Info-ZIP's
// zip, links kept as links.
bool zipTree(const QString &sourceDir, const QString &zipPath, QString *error);

// Appends the given entries of sourceDir (paths relative to it, directories with their contents)
// to zipPath in the order given, uncompressed, so that patchZipNames finds their names.
bool appendToZip(const QString &sourceDir, const QStringList &entries, const QString &zipPath, QString *error);

// Replaces every occurrence of `from` by `to` (same length) in a zip file: lets a test give an
// entry a name that no file system tree can carry, such as one that climbs out with "../".
bool patchZipNames(const QString &zipPath, const QByteArray &from, const QByteArray &to);

QString sha256OfFile(const QString &path);

// A shell script standing in for the client: every start appends "<label> started" to logPath;
// started with "--stay SECONDS" it keeps running that long and then appends "<label> exited".
QByteArray fakeClientScript(const QString &label, const QString &logPath);

// Polls condition every 50 ms, serving events, until it holds or timeoutMs has passed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

// Asks a helper process (a server) to end, and kills it when it hasn't within 5 s.
void stopProcess(QProcess *process);

} // namespace E2e
