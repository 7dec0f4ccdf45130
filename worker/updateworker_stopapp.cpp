#include "worker/updateworker.h"

#include "common/productnames.h"
#include "install/stagedinstallation.h"
#include "platform/processwait.h"
#include "worker/processrunner.h"

#include <QThread>

namespace Updater {

namespace {

constexpr int clientExitTimeoutMs = 60000;
// Gives the system time to release the files of the processes taskkill has just ended.
constexpr unsigned long afterTaskkillPauseMs = 1200;

} // namespace

bool UpdateWorker::stopAppAndInstall(QString *error)
{
    if (options.waitPid > 0) {
        // A client that cannot be opened has already gone (or is beyond reach): go on.
        const auto waited = Platform::waitForProcessExit(options.waitPid, clientExitTimeoutMs);
        if (waited == Platform::ProcessWaitResult::TimedOutOrFailed) {
            if (error)
                *error = tr("Timed out waiting for the app to close.");
            return false;
        }
    }

    // Whatever is left of the client goes; whether taskkill found anything does not matter.
    QString ignored;
    runProcess(QStringLiteral("taskkill"),
               {QStringLiteral("/F"), QStringLiteral("/IM"), clientExecutableName(),
                QStringLiteral("/IM"), clientCompanionName()},
               &ignored);
    QThread::msleep(afterTaskkillPauseMs);

    emit stageChanged(QStringLiteral("Копирование файлов"), 85);
    emit detailAppended(QStringLiteral("Копирование файлов..."));

    QStringList notes;
    const bool installed = installStagedPayload(payloadRoot, options.installDir, error, &notes);
    for (const QString &note : std::as_const(notes))
        emit detailAppended(note);
    return installed;
}

} // namespace Updater
