#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace Updater {

// The entries of one package, checked one by one before anything of the package is written. An
// entry may be unpacked only when it is a file or a directory whose name is a relative path that
// Windows can hold and that stays below the unpacking directory. Refused: absolute names, drive
// letters and UNC names, ".." (or any segment ending in a dot or a space), empty segments
// ("a//b"), control characters, ':' (alternate data streams), device names such as CON or
// COM1.txt, a name that an earlier entry already has or has in another letter case (Windows would
// write both into one file), a file where an earlier entry needs a directory and the reverse,
// links and anything else that is no file or directory, and the working directories'
// names (".orvalink-update" and its siblings) at the top of the package or of its one top
// folder. Both '/' and '\' separate segments, as Windows reads them. Any thread.
class PackageEntryNames
{
public:
    enum class Kind { File, Directory, Other };

    // Takes the next entry. False when it is refused; *error then says "Package entry is not
    // allowed: <name>" with control characters shown as \xNN. *segments (may be null) receives
    // the entry's place below the unpacking directory, one segment per level.
    bool add(const QString &name, Kind kind, QStringList *segments, QString *error);

private:
    struct Place
    {
        Kind kind;
        QString path; // as spelled by the entry that named it first
    };
    // Every entry so far and the directories they imply, by case-folded path.
    QHash<QString, Place> m_places;
};

} // namespace Updater
