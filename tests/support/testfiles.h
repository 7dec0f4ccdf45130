#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

// Files, programs and waiting, shared by every test. Test thread only.
namespace TestSupport {

// The directory that holds the built programs (UPDATER_BIN_DIR, else this test's own directory).
QString binDir();
// A directory under the build tree for files a person may want to look at after a run
// (screenshots); created on first use.
QString artifactDir();

// Writes content to path, creating missing parent directories. False when it cannot.
bool writeFile(const QString &path, const QByteArray &content);
bool writeExecutable(const QString &path, const QByteArray &content);
// Writes each file (relative path -> content) below dir.
bool writeTree(const QString &dir, const QMap<QString, QByteArray> &files);
// The file's bytes; empty when it cannot be read (check existence separately where it matters).
QByteArray readFile(const QString &path);
QString sha256OfFile(const QString &path);

// A symbolic link at link whose target text is target; the target text of the link at path.
bool makeLink(const QString &target, const QString &link);
QByteArray linkText(const QString &path);

// Relative paths of everything below dir, hidden entries included, directories with a trailing
// '/', sorted.
QStringList listing(const QString &dir);

// Runs a program to its end; true when it exited normally with code 0. Standard output and
// standard error, merged, go to *output when given.
bool runCommand(const QString &program, const QStringList &arguments, QString *output = nullptr,
                const QString &workingDirectory = QString(), int timeoutMs = 60000);

// Packs the contents of sourceDir (not the directory itself) into a new zipPath with Info-ZIP's
// zip, links kept as links.
bool zipTree(const QString &sourceDir, const QString &zipPath, QString *error = nullptr);

// How long a test waits for something that is bound to happen (a window, a process starting or
// ending, a file, a request): long enough for two tests at once on two busy cores. A wait ends as
// soon as its event comes, so this costs nothing when all goes well; only a failure waits it out.
constexpr int eventDeadlineMs = 120000;

// Polls condition every 50 ms, serving events, until it holds or timeoutMs has passed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = eventDeadlineMs);

// Asks a helper process (a server) to end, and kills it when it hasn't within 5 s.
void stopProcess(QProcess *process);

} // namespace TestSupport
