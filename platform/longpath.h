#pragma once

#include <QString>

#include <string>

namespace Updater::Platform {

// The Windows form of path for the wide-character file API: native separators, no trailing
// separator, and the \\?\ (or \\?\UNC\) prefix on absolute paths, so that paths beyond MAX_PATH
// work as well. The path is first resolved as fullPath does (absolute, trailing dots and spaces
// dropped), since the prefix turns off the system's own path parsing.
std::wstring longPath(const QString &path);

// The path as the system resolves it without the prefix (GetFullPathNameW): absolute, "." and
// ".." resolved, the trailing dots and spaces of each name dropped; '/'-separated.
QString fullPathName(const QString &path);

} // namespace Updater::Platform
