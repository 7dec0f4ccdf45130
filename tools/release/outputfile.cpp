#include "tools/release/outputfile.h"

#include "common/failure.h"

#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace Updater::Release {

namespace {

// QTemporaryFile makes its files private to the owner; a published release must be readable by
// the web server, so it gets the mode an ordinary new file would have.
void giveOrdinaryMode(const QString &path)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(QFile::encodeName(path).constData(), 0666 & ~mask);
}

} // namespace

bool openTemporary(QTemporaryFile *file, const QString &outDir, const QString &finalName,
                   QString *error)
{
    file->setFileTemplate(outDir + QStringLiteral("/.") + finalName + QStringLiteral(".XXXXXX"));
    if (!file->open())
        return fail(error, QStringLiteral("Cannot write to the output directory %1: %2")
                               .arg(outDir, file->errorString()));
    giveOrdinaryMode(file->fileName());
    return true;
}

bool finishTemporary(QTemporaryFile *file, QString *error)
{
    const bool flushed = file->flush();
    const QString reason = file->errorString();
    file->close();
    if (!flushed || file->error() != QFileDevice::NoError)
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(file->fileName(), reason));
    return true;
}

bool moveIntoPlace(QTemporaryFile *file, const QString &target, QString *error)
{
    // rename() replaces an existing file in one step, so readers see the old or the new one.
    if (std::rename(QFile::encodeName(file->fileName()).constData(),
                    QFile::encodeName(target).constData())
        != 0)
        return fail(error, QStringLiteral("Cannot put %1 in place: %2")
                               .arg(target, QString::fromLocal8Bit(std::strerror(errno))));
    file->setAutoRemove(false);
    return true;
}

} // namespace Updater::Release
