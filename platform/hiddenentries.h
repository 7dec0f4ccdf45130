#pragma once

#include <QString>

namespace Updater::Platform {

// Gives the entry at path (never what a link at path names) the hidden attribute on Windows,
// where a leading dot hides nothing; elsewhere the leading dot of the updater's names hides them
// already and nothing changes. True when the entry is hidden afterwards. Any thread.
bool hideEntry(const QString &path);

} // namespace Updater::Platform
