#pragma once

#include <QString>

namespace Updater::Platform {

// Symbolic links (and on Windows junctions) are handled as entries of their own: the updater
// never follows one out of the tree it works on. All functions work on the entry itself and are
// safe on any thread.

// True when path itself is a symbolic link or a junction, whether or not its target exists.
bool isLink(const QString &path);

// Creates target as a link with the same target text as the link at source (a relative target
// stays relative). Nothing may exist at target. False when source is no link or the link could
// not be created; nothing is left at target then.
bool copyLink(const QString &source, const QString &target);

// Removes the link at path, never what it points at. False when path is no link or the removal
// failed.
bool removeLink(const QString &path);

} // namespace Updater::Platform
