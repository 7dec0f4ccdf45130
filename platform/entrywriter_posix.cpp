#include "platform/entrywriter.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

namespace {

bool systemFailure(QString *error)
{
    if (error)
        *error = qt_error_string(errno);
    return false;
}

} // namespace

EntryWriter::~EntryWriter()
{
    if (m_file >= 0)
        ::close(int(m_file));
}

bool EntryWriter::makeDirectory(const QString &path, QString *error)
{
    return ::mkdir(QFile::encodeName(path).constData(), 0777) == 0 || systemFailure(error);
}

bool EntryWriter::createFile(const QString &path, bool executable, QString *error)
{
    // O_EXCL with O_NOFOLLOW: a name that exists, a link included, is never written through.
    const int fd =
        ::open(QFile::encodeName(path).constData(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0777 : 0666);
    if (fd < 0)
        return systemFailure(error);
    m_file = fd;
    return true;
}

bool EntryWriter::write(const char *data, qint64 size, QString *error)
{
    while (size > 0) {
        const ssize_t written = ::write(int(m_file), data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return systemFailure(error);
        }
        data += written;
        size -= written;
    }
    return true;
}

bool EntryWriter::closeFile(qint64 modifiedSecs, QString *error)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(modifiedSecs), 0}};
    const bool timed = ::futimens(int(m_file), times) == 0 || systemFailure(error);
    // A failed close may be the first report of a failed write (a full network volume).
    const bool closed = ::close(int(m_file)) == 0 || systemFailure(error);
    m_file = -1;
    return timed && closed;
}

} // namespace Updater::Platform
