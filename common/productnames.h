#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Names the updater shares with the Orvalink client. Written once here; any thread.

// The client's executable in the installation directory, started again after an update.
QString clientExecutableName(); // "Orvalink.exe"
// The client's companion process.
QString clientCompanionName(); // "Core.exe"
// The image names of the client's processes, which an update ends.
QStringList clientImageNames(); // Orvalink.exe, Core.exe
// The installation's entries that belong to the user and survive every update, in this order.
QStringList preservedEntryNames(); // config, groups, profiles
// The User-Agent of every request; the client sends the same identifier.
QString clientIdentifier(); // "Orvalink v3"
// The release that offline mode installs (the product's own version).
QString offlineReleaseVersion(); // "3.0.0"
// The title of the updater's window and message box.
QString updaterTitle(); // "Orvalink Updater"

} // namespace Updater
