#pragma once

#include "common/updatemanifest.h"
#include "common/updateroptions.h"
#include "testfiles.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// Shared by the worker's tests: runs an UpdateWorker on a thread of its own, the way the window
// does, and builds the trees and packages it works on.
namespace WorkerHarness {

using namespace TestSupport;

struct RunResult
{
    // "stage <text> <value>", "detail <text>", "restartable", "finished <true|false> <text>"
    QStringList events;
    int finishedCount = 0; // counted by a QSignalSpy on the worker
    qint64 elapsedMs = 0;
};

// Starts the worker on its own QThread and waits (processing events) for its finished signal or
// timeoutMs, then ends the thread; options.waitPid, when set, is held from the start as the
// program holds it; the worker deletes itself with the thread. atStage, when
// given, is called on the worker's thread at each stage, before the worker goes on.
RunResult runWorker(const Updater::UpdaterOptions &options, const Updater::UpdateManifest &manifest,
                    int timeoutMs = TestSupport::eventDeadlineMs,
                    const std::function<void(int progressValue)> &atStage = nullptr);

QString stage(const QString &text, int value);
QString detail(const QString &text);
QString finished(bool success, const QString &text);

} // namespace WorkerHarness
