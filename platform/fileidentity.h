#pragma once

#include <QString>

#include <cstdint>

namespace Updater::Platform {

// What makes a file or directory itself, whatever it is called: the volume it lies on and its
// number there. Every name of one entry shares it: other spellings, links and junctions to it,
// 8.3 short names, substituted drives, bind mounts.
struct FileIdentity
{
    std::uint64_t volume = 0;
    std::uint64_t fileHigh = 0;
    std::uint64_t fileLow = 0;
    bool valid = false;

    bool operator==(const FileIdentity &other) const
    {
        return valid && other.valid && volume == other.volume && fileHigh == other.fileHigh
               && fileLow == other.fileLow;
    }
};

// The identity of what path names, links followed; not valid when it cannot be opened. Any thread.
// Windows: GetFileInformationByHandleEx(FileIdInfo), else the volume serial number and file
// index of GetFileInformationByHandle. Elsewhere: st_dev and st_ino.
FileIdentity fileIdentity(const QString &path);

// The path of an existing entry as the file system resolves it (links, junctions, substituted
// drives and 8.3 short names resolved; Qt's separators); empty when it cannot be opened.
QString resolvedPath(const QString &path);

// Whether path names the entry `ancestor` or lies below it: path and each directory above it, as
// written and as resolved, are compared by identity with ancestor, so that no spelling of either
// slips past. False when ancestor is not valid. Any thread.
bool isSameOrInside(const QString &path, const FileIdentity &ancestor);

} // namespace Updater::Platform
