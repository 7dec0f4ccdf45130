// The client's settings file as the migration finds it: any bytes at all, with or without the
// legacy entries around it. The migration must succeed and leave exactly the carried settings
// (values unchanged) plus the marker, no legacy entry, and a backup of the file as it was.
#include "install/legacyconfigmigration.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

const QStringList &legacyEntries()
{
    static const QStringList names = {QStringLiteral("route_profiles"), QStringLiteral("dashboard"),
                                      QStringLiteral("icons"), QStringLiteral("shortcuts.json"),
                                      QStringLiteral("cache.db")};
    return names;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The first byte lays out the config directory: bit 0 whether configs.json exists, bits 1-5
// which legacy entries exist, bit 6 whether they are directories (with a file inside) or files.
// The rest is the settings file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir root;
    require(root.isValid());

    const unsigned layout = size > 0 ? data[0] : 0u;
    const QByteArray settingsBytes = size > 1 ? QByteArray(reinterpret_cast<const char *>(data) + 1,
                                                           static_cast<qsizetype>(size - 1))
                                              : QByteArray();

    const QString installDir = root.filePath(QStringLiteral("Orvalink"));
    const QString configDir = installDir + QStringLiteral("/config");
    const QString settingsPath = configDir + QStringLiteral("/configs.json");
    QDir(installDir).removeRecursively();
    require(QDir().mkpath(configDir));

    const bool hasSettings = layout & 1u;
    if (hasSettings)
        require(writeFile(settingsPath, settingsBytes));
    for (int i = 0; i < legacyEntries().size(); ++i) {
        if (!(layout & (2u << i)))
            continue;
        const QString path = configDir + QLatin1Char('/') + legacyEntries().at(i);
        if (layout & 0x40u) {
            require(QDir().mkpath(path));
            require(writeFile(path + QStringLiteral("/inside"), "x"));
        } else {
            require(writeFile(path, "x"));
        }
    }

    QString error;
    require(Updater::migrateLegacyConfig(installDir, &error));
    require(error.isEmpty());

    for (const QString &name : legacyEntries())
        require(!QFileInfo::exists(configDir + QLatin1Char('/') + name));

    const QJsonDocument written = QJsonDocument::fromJson(readFile(settingsPath));
    require(written.isObject());
    const QJsonObject settings = written.object();
    require(settings.value(QStringLiteral("xray_profile_migration_version")) == QJsonValue(0));

    const QJsonObject old =
        hasSettings ? QJsonDocument::fromJson(settingsBytes).object() : QJsonObject();
    int carried = 0;
    for (const QString &key : Updater::migratedConfigKeys()) {
        require(settings.contains(key) == old.contains(key));
        if (old.contains(key)) {
            require(settings.value(key) == old.value(key));
            ++carried;
        }
    }
    require(settings.size() == carried + 1);

    const QString backup =
        root.filePath(QStringLiteral(".orvalink-legacy-config-backup/configs.json"));
    require(QFileInfo::exists(backup) == hasSettings);
    if (hasSettings)
        require(readFile(backup) == settingsBytes);
    return 0;
}
