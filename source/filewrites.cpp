#include "source/filewrites.h"

#include "common/failure.h"

#include <QFile>
#include <QLocale>
#include <QStorageInfo>

namespace Updater {

bool checkFreeSpace(const QString &dir, qint64 bytes, QString *error)
{
    const QStorageInfo volume(dir);
    if (!volume.isValid() || volume.bytesAvailable() < 0 || volume.bytesAvailable() >= bytes)
        return true;
    const QLocale c = QLocale::c();
    return fail(error,
                QStringLiteral("Not enough disk space: %1 needed, %2 free.")
                    .arg(c.formattedDataSize(bytes), c.formattedDataSize(volume.bytesAvailable())));
}

bool writeFully(QFile *file, const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 written = file->write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

} // namespace Updater
