#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// The settings that survive the migration, in the order they are carried over.
const QStringList &migratedConfigKeys();

// Reduces config/configs.json of the installation to the carried-over settings plus the marker
// key, deletes the legacy entries and keeps a copy of config beside the installation. True when
// there was nothing to migrate or the settings were rewritten; false with "Could not write %1"
// when the settings file could not be replaced. Worker thread.
bool migrateLegacyConfig(const QString &installDir, QString *error);

} // namespace Updater
