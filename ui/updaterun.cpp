#include "ui/updaterwindow.h"

// Placeholder until the update run control lands: every run ends as a failure.
namespace Updater {

void UpdaterWindow::startUpdate()
{
    handleFailure(QStringLiteral("Updating is not available in this build."));
}

void UpdaterWindow::handleSuccess(const QString &) {}

void UpdaterWindow::handleFailure(const QString &error)
{
    reportStage(QStringLiteral("Ошибка обновления"), -1);
    onDetailAppended(error);
}

bool UpdaterWindow::fetchManifest(QString *) { return false; }
bool UpdaterWindow::downloadPackage(QString *) { return false; }
QString UpdaterWindow::packageFilePath() const { return QString(); }

} // namespace Updater
