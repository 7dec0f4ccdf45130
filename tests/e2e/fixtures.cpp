#include "fixtures.h"

#include "e2eharness.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace E2e {

namespace {

const char legacySettings[] = R"({
  "sub_send_hwid": true,
  "sub_custom_hwid_params": {"model": "X1", "extra": [1, 2, "три"]},
  "remember_id": "user-77",
  "remember_enable": false,
  "current_group": "Европа",
  "theme": "dark",
  "xray_profile_migration_version": 3
})";

QStringList legacyConfigEntries()
{
    return {QStringLiteral("route_profiles"), QStringLiteral("dashboard"), QStringLiteral("icons"),
            QStringLiteral("shortcuts.json"), QStringLiteral("cache.db")};
}

QJsonObject migratedSettings()
{
    QJsonObject settings;
    settings.insert(QStringLiteral("sub_send_hwid"), true);
    settings.insert(
        QStringLiteral("sub_custom_hwid_params"),
        QJsonObject{{QStringLiteral("model"), QStringLiteral("X1")},
                    {QStringLiteral("extra"), QJsonArray{1, 2, QStringLiteral("три")}}});
    settings.insert(QStringLiteral("remember_id"), QStringLiteral("user-77"));
    settings.insert(QStringLiteral("remember_enable"), false);
    settings.insert(QStringLiteral("current_group"), QStringLiteral("Европа"));
    settings.insert(QStringLiteral("xray_profile_migration_version"), 0);
    return settings;
}

QByteArray filler(int index)
{
    // Sizes from a few bytes to some hundred kilobytes, contents that differ per file.
    const int size = (index * 7919) % 200000 + 1;
    QByteArray bytes(size, char('a' + index % 26));
    bytes.replace(0, 8, QByteArray::number(index).rightJustified(8, '0'));
    return bytes;
}

} // namespace

bool writeInstallation(const QString &installDir, const QString &clientLog,
                       const QString &outsideDir)
{
    const QDir dir(installDir);
    bool ok = writeExecutable(dir.filePath(QStringLiteral("Orvalink.exe")),
                              fakeClientScript(QStringLiteral("2.4.1"), clientLog));
    ok = ok && writeFile(dir.filePath(QStringLiteral("Core.exe")), "core 2.4.1\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("app.dll")), "app 2.4.1\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("old-only.txt")), "only in 2.4.1\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("lib/runtime.bin")), QByteArray(4096, '\x01'));

    ok = ok && writeFile(dir.filePath(QStringLiteral("config/configs.json")), legacySettings);
    ok =
        ok && writeFile(dir.filePath(QStringLiteral("config/.window-state")), "geometry=1,2,3,4\n");
    ok =
        ok && writeFile(dir.filePath(QStringLiteral("config/notes.txt")), "заметки пользователя\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("config/route_profiles/r1.json")), "{}");
    ok = ok && writeFile(dir.filePath(QStringLiteral("config/dashboard/layout.json")), "{}");
    ok = ok && writeFile(dir.filePath(QStringLiteral("config/icons/flag.png")), "png");
    ok = ok && writeFile(dir.filePath(QStringLiteral("config/shortcuts.json")), "[]");
    ok = ok && writeFile(dir.filePath(QStringLiteral("config/cache.db")), QByteArray(1000, 'c'));

    ok = ok && writeFile(dir.filePath(QStringLiteral("groups/europe.json")), "{\"servers\": 12}\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("groups/.order")), "europe\n");
    ok = ok
         && writeFile(dir.filePath(QStringLiteral("profiles/default.json")),
                      "{\"name\": \"Дом\"}\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("profiles/.secret")), "token\n");
    ok = ok
         && writeFile(dir.filePath(QStringLiteral("profiles/nested/.hidden-dir/deep.txt")),
                      "deep\n");
    ok = ok
         && QFile::setPermissions(dir.filePath(QStringLiteral("profiles/.secret")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    ok = ok
         && writeFile(QDir(outsideDir).filePath(QStringLiteral("shared.txt")),
                      "outside the installation\n");
    ok = ok && QFile::link(outsideDir, dir.filePath(QStringLiteral("profiles/shared")));
    return ok;
}

bool writePayload(const QString &payloadDir, const QString &clientLog, int extraFiles)
{
    const QDir dir(payloadDir);
    bool ok = writeExecutable(dir.filePath(QStringLiteral("Orvalink.exe")),
                              fakeClientScript(QStringLiteral("3.0.0"), clientLog));
    ok = ok && writeFile(dir.filePath(QStringLiteral("Core.exe")), "core 3.0.0\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("app.dll")), "app 3.0.0\n");
    ok = ok && writeFile(dir.filePath(QStringLiteral("lib/runtime.bin")), QByteArray(8192, '\x03'));
    ok = ok && writeFile(dir.filePath(QStringLiteral("lib/new.bin")), "new in 3.0.0\n");
    ok = ok
         && writeFile(dir.filePath(QStringLiteral("resources/translations/ru.txt")),
                      "Установка обновления\n");
    for (int i = 0; ok && i < extraFiles; ++i) {
        ok = writeFile(dir.filePath(QStringLiteral("data/%1/file-%2.bin").arg(i % 10).arg(i)),
                       filler(i));
    }
    return ok;
}

QStringList problemsAfterUpdate(const QString &installDir, const TreeSnapshot &payload,
                                const TreeSnapshot &installationBefore)
{
    QStringList problems;
    const TreeSnapshot after = TreeSnapshot::take(installDir);
    if (!after.exists())
        return {QStringLiteral("the installation directory is gone")};

    const QStringList keptAsTheyWere{QStringLiteral("groups"), QStringLiteral("profiles")};
    for (auto it = payload.entries().cbegin(); it != payload.entries().cend(); ++it) {
        // The user's config, groups or profiles take the place of the payload's own.
        const QString top = it.key().section(QLatin1Char('/'), 0, 0);
        if (installationBefore.contains(top)
            && (top == QLatin1String("config") || keptAsTheyWere.contains(top)))
            continue;
        if (after.value(it.key()) != it.value())
            problems << QStringLiteral("payload entry %1: want %2, have %3")
                            .arg(it.key(), it.value(), after.value(it.key()));
    }

    for (const QString &line : installationBefore.restrictedTo(keptAsTheyWere)
                                   .differences(after.restrictedTo(keptAsTheyWere)))
        problems << QStringLiteral("user entry %1").arg(line);

    // config: the migration rewrites configs.json and deletes its legacy entries, nothing else.
    const QStringList legacy = legacyConfigEntries();
    for (auto it = installationBefore.entries().cbegin(); it != installationBefore.entries().cend();
         ++it) {
        const QString path = it.key();
        if (!path.startsWith(QLatin1String("config/"))
            || path == QLatin1String("config/configs.json"))
            continue;
        const bool isLegacy = legacy.contains(path.section(QLatin1Char('/'), 1, 1));
        if (isLegacy && after.contains(path))
            problems << QStringLiteral("legacy entry %1 still there").arg(path);
        if (!isLegacy && after.value(path) != it.value())
            problems << QStringLiteral("config entry %1: want %2, have %3")
                            .arg(path, it.value(), after.value(path));
    }
    if (installationBefore.contains(QStringLiteral("config/configs.json"))) {
        const QByteArray settings =
            readFile(QDir(installDir).filePath(QStringLiteral("config/configs.json")));
        const QByteArray expected =
            QJsonDocument(migratedSettings()).toJson(QJsonDocument::Indented);
        if (settings != expected)
            problems << QStringLiteral("config/configs.json is not migrated: %1")
                            .arg(QString::fromUtf8(settings));
    }

    if (after.contains(QStringLiteral("old-only.txt")))
        problems << QStringLiteral("old-only.txt of the previous installation is still there");

    // A running image that could not be deleted yet may wait in the stale directory; the log
    // stays for support.
    const QStringList beside =
        QFileInfo(installDir)
            .dir()
            .entryList({QStringLiteral(".orvalink-*")},
                       QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &working : beside) {
        if (working != QLatin1String(".orvalink-legacy-config-backup")
            && working != QLatin1String(".orvalink-update.log")
            && !working.startsWith(QLatin1String(".orvalink-stale-")))
            problems << QStringLiteral("working directory %1 is left over").arg(working);
    }
    return problems;
}

} // namespace E2e
