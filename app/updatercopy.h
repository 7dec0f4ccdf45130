#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// The client ships the updater inside its own folder. Running from there, it would hold the
// installation on Windows: its image cannot be replaced, and the folder cannot be renamed, so
// the update could only go in place. When the program lies inside installDir, it copies itself
// into the staging area beside the installation (replacing a copy an earlier run left) and starts
// that copy with the same arguments in the same working directory. True when the copy was
// started: this process has nothing more to do. False when the program lies elsewhere, or the copy
// could not be made or started; the update then runs from where it is. GUI thread, before the
// window.
bool handOverToCopyOutside(const QString &installDir, const QStringList &arguments);

} // namespace Updater
