#pragma once

#include <QList>
#include <QString>

namespace Updater::Release {

// One entry of the payload as the package stores it.
struct PayloadEntry
{
    enum class Kind { Directory, File, SymLink };

    Kind kind = Kind::File;
    QString archivePath;     // '/'-separated, relative; directories end in '/'
    QString sourcePath;      // where the entry is on disk (empty for the top folder)
    QString linkTarget;      // SymLink: the target exactly as the link holds it
    quint32 permissions = 0; // the permission bits of the mode (07777)
    qint64 size = 0;         // File: its size when scanned
};

// Lists the payload directory for packing: every entry, hidden ones included (a release is
// exactly what the publisher put in the folder), in one stable order (by archive path, so a
// directory comes before what it holds). With a non-empty topFolder all entries are placed inside a
// directory of that name.
//
// Refuses, with one English message in *error (may be null): a payload that is missing, not a
// directory, unreadable or empty; a payload whose only entry the updater would take for a
// wrapping folder (use a top folder then); special files and links (the updater refuses a
// package that holds one); names that Windows cannot hold; two names in one directory that
// differ only in letter case; names that Windows would take for the updater's special ones (a
// top-level Orvalink.exe, config, groups or profiles spelled in other letter case, any
// ".orvalink-" name) or for a short alias ("NAME~1.EXT"). *entries is written only on success. Unix
// only (lstat).
bool scanPayload(const QString &payloadDir, const QString &topFolder, QList<PayloadEntry> *entries,
                 QString *error);

} // namespace Updater::Release
