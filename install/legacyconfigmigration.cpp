#include "install/legacyconfigmigration.h"

#include "common/failure.h"
#include "install/filetree.h"
#include "install/retrylimits.h"
#include "install/staginglayout.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"
#include "platform/hiddenentries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

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

// Writes a complete copy beside the file, on disk, and renames it over the file: a crash, a full
// disk or a failing disk leaves the old settings byte for byte, never a truncated file. The copy
// carries the name of a partial copy, which the next run's recovery removes if a kill left it.
bool writeSettings(const QString &path, const QJsonObject &settings)
{
    // The owner's write bit is the user's (or the client's) way of saying "leave this file
    // alone"; root and a rename would both ignore it, so it is honoured here explicitly.
    const QFileInfo info(path);
    if (info.exists() && !(info.permissions() & QFile::WriteOwner))
        return false;

    const QString partial = QDir(info.path()).filePath(partialCopyName(info.fileName()));
    removePath(partial);
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray text = QJsonDocument(settings).toJson(QJsonDocument::Indented);
    // QFile buffers: a full disk or an I/O error may surface only in flush(), and a disk that
    // fails late only in the sync; each is checked before the old file is given up.
    bool complete =
        file.write(text) == text.size() && file.flush() && Platform::flushToDisk(file.handle());
    file.close();
    complete = complete && file.error() == QFileDevice::NoError;
    if (complete && info.exists())
        complete = QFile::setPermissions(partial, info.permissions());
    if (!complete) {
        removePath(partial);
        return false;
    }

    // A scanner that holds the settings file for a moment makes Windows refuse the rename.
    for (int attempt = 0; attempt < settingsReplaceAttempts; ++attempt) {
        if (Platform::replaceFile(partial, path))
            return true;
        QThread::msleep(settingsReplacePauseMs);
    }
    removePath(partial);
    return false;
}

// Every entry of the tree, each directory after what it holds.
bool flushTreeToDisk(const QString &path)
{
    if (Platform::entryKind(path) == Platform::EntryKind::Directory) {
        const QFileInfoList entries = listEntries(path, EntryScope::AllEntries);
        for (const QFileInfo &entry : entries) {
            if (!flushTreeToDisk(entry.filePath()))
                return false;
        }
    }
    return Platform::flushEntryToDisk(path);
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
    // The backup is the only copy of the legacy entries and of the settings that are dropped:
    // nothing is deleted or rewritten before it is whole and on disk. A failed copy leaves the
    // previous backup in place rather than half of a new one, and config as it is.
    const QString backupDir = StagingLayout(installDir).legacyConfigBackupDir();
    if (!copyReplacing(backupSource, backupDir, EntryScope::AllEntries)
        || !flushTreeToDisk(backupDir)
        || !Platform::flushEntryToDisk(QFileInfo(backupDir).path())) {
        return fail(error,
                    QStringLiteral("Could not write %1").arg(QDir::toNativeSeparators(backupDir)));
    }
    Platform::hideEntry(backupDir);

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

    if (!writeSettings(settingsPath, settings))
        return fail(
            error,
            QStringLiteral("Could not write %1").arg(QDir::toNativeSeparators(settingsPath)));
    return true;
}

} // namespace Updater
