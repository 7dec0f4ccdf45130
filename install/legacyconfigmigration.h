#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// The settings that survive the migration, in the order they are carried over.
const QStringList &migratedConfigKeys();

// Keeps a copy of config beside the installation, whole and on disk, then reduces
// config/configs.json of the installation to the carried-over settings plus the marker key and
// deletes the legacy entries. True when there was nothing to migrate or the settings were
// rewritten; false with "Could not write %1" when the copy could not be made (config is then as
// it was) or the settings file could not be replaced. Worker thread.
bool migrateLegacyConfig(const QString &installDir, QString *error);

} // namespace Updater
