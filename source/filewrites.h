#pragma once

#include <QString>

class QFile;

namespace Updater {

// Writing what a transfer brings to disk.

// True when the volume that holds dir has room for bytes more. A volume that cannot be asked
// passes: the writes then say what is wrong. Otherwise false with "Not enough disk space: %1
// needed, %2 free." in *error (may be null). Any thread.
bool checkFreeSpace(const QString &dir, qint64 bytes, QString *error);

// Writes all size bytes at data to file. QFile reports a short write (the disk filled up part
// way) as a success of fewer bytes; only writing the rest brings out the reason, which is then
// file's errorString(). File's thread.
bool writeFully(QFile *file, const char *data, qint64 size);

} // namespace Updater
