#include "install/legacyconfigmigration.h"

#include "install/filetree.h"
#include "install/staginglayout.h"
#include "platform/filelinks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace Updater {

namespace {

QStringList legacyEntryNames()
{
    return {QStringLiteral("route_profiles"), QStringLiteral("dashboard"), QStringLiteral("icons"),
            QStringLiteral("shortcuts.json"), QStringLiteral("cache.db")};
}

QJsonObject readSettings(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// Writes beside the file and renames over it, so a crash or a full disk never leaves a
// truncated settings file behind.
bool writeSettings(const QString &path, const QJsonObject &settings)
{
    // The owner's write bit is the user's (or the client's) way of saying "leave this file
    // alone"; root and a rename would both ignore it, so it is honoured here explicitly.
    const QFileInfo info(path);
    if (info.exists() && !(info.permissions() & QFile::WriteOwner))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = QJsonDocument(settings).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

const QStringList &migratedConfigKeys()
{
    static const QStringList keys = {
        QStringLiteral("sub_send_hwid"), QStringLiteral("sub_custom_hwid_params"),
        QStringLiteral("remember_id"), QStringLiteral("remember_enable"),
        QStringLiteral("current_group")};
    return keys;
}

bool migrateLegacyConfig(const QString &installDir, QString *error)
{
    if (error)
        error->clear();

    const QDir configDir(QDir(installDir).filePath(QStringLiteral("config")));
    if (!QFileInfo(configDir.path()).isDir())
        return true;

    // A config that links elsewhere is backed up by what it holds; a copy of the link itself
    // would keep nothing of the settings once they change.
    const QString backupSource = Platform::isLink(configDir.path())
                                     ? QFileInfo(configDir.path()).canonicalFilePath()
                                     : configDir.path();
    // The copy's result does not matter to the migration; a failed copy leaves the previous
    // backup in place rather than half of a new one.
    copyReplacing(backupSource, StagingLayout(installDir).legacyConfigBackupDir(),
                  EntryScope::AllEntries);

    const QString settingsPath = configDir.filePath(QStringLiteral("configs.json"));
    const QJsonObject oldSettings = readSettings(settingsPath);
    QJsonObject settings;
    for (const QString &key : migratedConfigKeys()) {
        const auto found = oldSettings.constFind(key);
        if (found != oldSettings.constEnd())
            settings.insert(key, found.value());
    }

    for (const QString &name : legacyEntryNames())
        removePath(configDir.filePath(name));

    settings.insert(QStringLiteral("xray_profile_migration_version"), 0);

    if (!writeSettings(settingsPath, settings)) {
        if (error)
            *error = QStringLiteral("Could not write %1").arg(settingsPath);
        return false;
    }
    return true;
}

} // namespace Updater
