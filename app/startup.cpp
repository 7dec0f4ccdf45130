#include "app/startup.h"

#include "app/commandline.h"
#include "app/updatercopy.h"
#include "common/productnames.h"
#include "install/installationdirectory.h"
#include "platform/processwait.h"
#include "ui/updaterwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include <memory>

namespace Updater {

namespace {

// The client may start the updater from inside its own folder. Windows then holds a handle on
// the updater's working directory, and a directory with a handle inside cannot be renamed: every
// update would take the in-place path. The updater moves to the directory that contains the
// installation first; the paths it was given keep naming what they named.
void leaveInstallation(UpdaterOptions *options)
{
    options->installDir = normalizedInstallDir(options->installDir);
    if (!isSameOrInside(comparablePath(QDir::currentPath()), comparablePath(options->installDir)))
        return;
    if (!options->offlinePayloadRoot.isEmpty())
        options->offlinePayloadRoot = QDir::current().absoluteFilePath(options->offlinePayloadRoot);
    QDir::setCurrent(QFileInfo(options->installDir).path());
}

} // namespace

int runUpdater(const QStringList &arguments)
{
    auto options = std::make_unique<UpdaterOptions>(parseOptions(arguments));
    // Opened at once and held until the update waits for it: by then the client may long have
    // exited and its id been given to another process.
    std::shared_ptr<const Platform::HeldProcess> client;
    if (options->waitPid > 0)
        client = std::make_shared<const Platform::HeldProcess>(options->waitPid);

    int exitCode = 1;
    if (optionsAreComplete(*options)) {
        // Before anything else: the copy does all of it.
        if (handOverToCopyOutside(normalizedInstallDir(options->installDir), arguments))
            return 0;
        leaveInstallation(options.get());
        UpdaterWindow window(*options, client);
        window.show();
        exitCode = QCoreApplication::exec();
    } else {
        QMessageBox::critical(nullptr, updaterTitle(),
                              QStringLiteral("Missing required updater arguments."),
                              QMessageBox::Ok, QMessageBox::NoButton);
        exitCode = 1;
    }
    options.reset();
    return exitCode;
}

} // namespace Updater
