#pragma once

#include <QFileInfo>
#include <QString>

#include <functional>

namespace Updater::Platform {

// Calls visit with every entry below dir, hidden and system ones too, each directory before what
// it holds; a symbolic link or junction is visited but never entered, so a walk never leaves the
// tree. Stops at once when visit returns false; returns false then. Any thread.
bool walkEntries(const QString &dir, const std::function<bool(const QFileInfo &entry)> &visit);

} // namespace Updater::Platform
