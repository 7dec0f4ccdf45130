#pragma once

#include <QString>

namespace Updater::Platform {

// Who may do what with the installation's entries. Any thread.

// Whether this process may create entries in directory: false when its rights there, a read-only
// volume or an immutable directory forbid it, or the directory cannot be reached.
bool mayCreateEntriesIn(const QString &directory);

// Linux: gives path and everything below it (links as links, never followed) the owner, group and
// permission bits of model; a file keeps its execute bits only where model has them. For entries
// that come from a folder of the user's and are about to be moved into the installation. Nothing
// on Windows, where permissions come from the folder (resetToInherited). False at the first entry
// that cannot be changed.
bool adoptOwnerAndMode(const QString &path, const QString &model);

// Windows: path gets what the folder that holds it passes down, as if it had been created
// there. With ExplicitPermissions::Drop the same goes for everything below it, and what was set
// on the entries themselves is gone; with Keep, what is set on path itself stays, and the system
// passes the change on to the entries below that take what is passed down. For entries moved in
// from a folder of the user's, once they are in place. Nothing elsewhere. False when the system
// refuses.
enum class ExplicitPermissions { Drop, Keep };
bool resetToInherited(const QString &path, ExplicitPermissions explicitOnes);

} // namespace Updater::Platform
