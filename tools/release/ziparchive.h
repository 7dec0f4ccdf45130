#pragma once

#include "tools/release/payloadscan.h"

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

namespace Updater::Release {

// The time every entry of a package carries (2020-01-01 00:00:00 UTC), so that the same payload
// always gives the same bytes. Zip stores it as local time: the process runs in UTC for that.
constexpr qint64 packageEntryTime = 1577836800;

// Writes the entries as a zip archive into device, which must be open for writing: deflated
// files, directories, links stored as links, permission bits kept, owner 0, names in UTF-8, all
// times packageEntryTime. *writtenSha256 receives the SHA-256 of the bytes handed to device.
// False with one English message in *error (may be null) when a payload file cannot be read,
// changed size while it was packed, or the device refused a write.
bool writeZipArchive(const QList<PayloadEntry> &entries, QIODevice *device,
                     QByteArray *writtenSha256, QString *error);

// Reads the archive at zipPath completely (so every entry's checksum is verified) and lists its
// entries with their kind, permission bits, size and link target; sourcePath stays empty. With
// unpackDir (an existing directory) its directories and files are also written below it (links
// are not). False with one English message in *error (may be null) when it cannot be read as a
// zip, an entry's name leads out of unpackDir, or a file cannot be written.
bool readZipArchive(const QString &zipPath, QList<PayloadEntry> *entries, QString *error,
                    const QString &unpackDir = QString());

} // namespace Updater::Release
