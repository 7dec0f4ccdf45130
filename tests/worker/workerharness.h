#pragma once

#include "app/updateroptions.h"
#include "source/updatemanifest.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Shared by the worker's tests: runs an UpdateWorker on a thread of its own, the way the window
// does, and builds the trees and packages it works on.
namespace WorkerHarness {

struct RunResult
{
    QStringList events;    // "stage <text> <value>", "detail <text>", "finished <true|false> <text>"
    int finishedCount = 0; // counted by a QSignalSpy on the worker
    qint64 elapsedMs = 0;
};

// Starts the worker on its own QThread and waits (processing events) for its finished signal or
// timeoutMs, then ends the thread; the worker deletes itself with the thread.
RunResult runWorker(const Updater::UpdaterOptions &options, const Updater::UpdateManifest &manifest,
                    int timeoutMs = 30000);

// Writes each file (relative path -> content) below dir, creating folders. False on failure.
bool writeTree(const QString &dir, const QMap<QString, QByteArray> &files);

// Relative paths of everything below dir, directories with a trailing '/', sorted.
QStringList listing(const QString &dir);

// Zips the contents of sourceDir with Info-ZIP (links stored as links). False on failure.
bool zipDirectory(const QString &sourceDir, const QString &zipPath);

QString stage(const QString &text, int value);
QString detail(const QString &text);
QString finished(bool success, const QString &text);

} // namespace WorkerHarness
