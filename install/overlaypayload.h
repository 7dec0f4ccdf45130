#pragma once

#include <QString>

namespace Updater {

// Writes the payload tree over the installation directory in place. Entries named Orvalink.exe,
// config, groups or profiles are never written, at any depth; every other top-level directory of
// the payload replaces the installation's directory of that name. Stops at the first failure
// with one message in *error (may be null); what was written before stays. Worker thread.
bool overlayPayload(const QString &payloadRoot, const QString &installDir, QString *error);

} // namespace Updater
