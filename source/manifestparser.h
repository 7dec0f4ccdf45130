#pragma once

#include "common/updatemanifest.h"

#include <QByteArray>

namespace Updater {

// Parses a manifest body. On success fills all of *out and leaves *error empty; on failure
// leaves *out untouched and puts one English message into *error (which may be null). Pure; any
// thread.
bool parseUpdateManifest(const QByteArray &bytes, UpdateManifest *out, QString *error);

} // namespace Updater
