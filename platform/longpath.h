#pragma once

#include <QString>

#include <string>

namespace Updater::Platform {

// The Windows form of path for the wide-character file API: native separators, no trailing
// separator, and the \\?\ (or \\?\UNC\) prefix on absolute paths, so that paths beyond MAX_PATH
// work as well. Relative paths are made absolute first, since the prefix turns off the system's
// own path parsing.
std::wstring longPath(const QString &path);

} // namespace Updater::Platform
