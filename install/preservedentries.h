#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// What becomes of an entry of the installation that a preserved entry replaces.
enum class LiveEntry {
    // It came with the payload during this installation: the user's entry wins and it goes.
    Replace,
    // It stood while an interrupted update waited for recovery, so the user may have changed it:
    // every file it holds that the preserved entry lacks, or holds otherwise, is kept under
    // "<name>.after-interrupted-update" (or "<name>.after-interrupted-update-N") in the
    // installation, and a line naming that place goes to *notes. Nothing is deleted that differs.
    KeepChanges,
};

// The preserved entry names, followed by the entries of dir (an installation, a backup or a
// preserve directory) that hold what recovery kept beside one of them: those are the user's too
// and travel with them through every later update. Names compare as the file system compares
// them (without regard to letter case on Windows).
QStringList preservedEntriesIn(const QString &dir);

// True when name is one of the user's entries at the top of an installation: a preserved entry
// name, or the name of what recovery kept beside one.
bool isPreservedEntryName(const QString &name);

// The name under which a payload's own entry of a preserved name waits beside the user's
// entries while they are exchanged: ".orvalink-shipped-<name>".
QString shippedEntryName(const QString &name);

// The free place in dir where what stood in the way of `name` is kept:
// "<base>.after-interrupted-update", or "<base>.after-interrupted-update-N", base being the name
// without any such ending, so that repeated interruptions never chain the endings.
QString keptPlace(const QString &dir, const QString &name);

// Moves each named entry found in preserveDir back into installDir, replacing the installation's
// entry of that name (as `live` says): with retries, then by a complete copy, after which the
// preserved entry is deleted. An entry that cannot be put back stays in preserveDir, and the
// installation's entry of that name stays as it was: nothing is removed that did not go where it
// belongs. True when every named entry is back. Does nothing while installDir is missing, and
// never creates it. Blocks the calling (worker) thread.
bool restorePreservedEntries(const QString &preserveDir, const QString &installDir,
                             const QStringList &names, LiveEntry live = LiveEntry::Replace,
                             QStringList *notes = nullptr);

} // namespace Updater
