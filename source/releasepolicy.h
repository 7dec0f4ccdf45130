#pragma once

#include "common/updatemanifest.h"

#include <QDateTime>
#include <QString>

namespace Updater {

// Whether release may be installed over currentVersion at now. Every manifest with an expires
// that has passed is refused. A signed release (a build with release keys) must also name
// expires and package_size, and its version must be dotted numbers and not lower than
// currentVersion (which must then be dotted numbers too) unless it allows a downgrade; an equal
// version is a repair and passes. Without signing, versions are not compared. False with one
// message in *error (may be null). Pure; any thread.
bool checkReleasePolicy(const UpdateManifest &release, const QString &currentVersion,
                        bool signedRelease, const QDateTime &now, QString *error);

// True for dotted decimal numbers such as "3", "3.0.1" or "10.02".
bool isDottedVersion(const QString &version);

// Compares two dotted versions number by number, missing numbers counting as 0 ("3.0" equals
// "3.0.0"), numbers of any length: negative, 0 or positive as a is lower, equal or higher.
int compareDottedVersions(const QString &a, const QString &b);

} // namespace Updater
