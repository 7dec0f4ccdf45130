#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// What becomes of an entry that stands where a backup's entry goes back.
enum class Present {
    // It was written over the original (the payload's file in an unfinished in-place
    // installation whose journal cannot tell): the original replaces it, and it goes.
    Discard,
    // Someone else made it meanwhile (a client that wrote into a recreated installation
    // directory): the original replaces it, and it is kept beside under
    // "<name>.after-interrupted-update" (or "...-N"), named in *notes.
    KeepBeside,
};

// Puts everything below `from` back into `to`, where the same relative paths lie: entries that
// `to` lacks are moved there, directories on both sides are merged entry by entry, and any other
// entry standing in the way is treated as `present` says. Never deletes anything of `from` nor
// anything of `to` that `from` does not replace. The top-level entry of `from` named `skipped`
// (if any) stays. True when `from` holds nothing else but emptied directories any more. Worker
// thread; blocks it while a held entry is retried.
bool mergeBack(const QString &from, const QString &to, Present present, const QString &staleDir,
               QStringList *notes = nullptr, const QString &skipped = QString());

} // namespace Updater
