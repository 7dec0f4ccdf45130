#pragma once

#include "common/updateroptions.h"

#include <QStringList>

namespace Updater {

// The argument that follows the first exact occurrence of name, or an empty string when the
// name is missing or is the last argument. The program path takes part in the scan.
QString argumentValue(const QStringList &arguments, const QString &name);

// Reads the six options; never fails (unknown arguments are ignored).
UpdaterOptions parseOptions(const QStringList &arguments);

// True when a source (manifest URL or offline payload root), the installation directory and the
// current version are all non-empty.
bool optionsAreComplete(const UpdaterOptions &options);

} // namespace Updater
