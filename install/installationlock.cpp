#include "install/installationlock.h"

#include "common/failure.h"
#include "install/staginglayout.h"
#include "platform/entrypermissions.h"
#include "platform/hiddenentries.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

namespace Updater {

namespace {

using Platform::ExclusiveFileLock;

QString mayNotWrite(const QString &path)
{
    return QStringLiteral("The updater may not write to %1.").arg(QDir::toNativeSeparators(path));
}

// The lock file names its holder as Qt's QLockFile does (process id, program, host, machine and
// boot ids, a line each), which earlier updaters used: one of them started meanwhile reads a
// living updater in it and stays away.
QByteArray holderRecord()
{
    return QByteArray::number(QCoreApplication::applicationPid()) + '\n'
           + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n'
           + QSysInfo::machineHostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() + '\n'
           + QSysInfo::bootUniqueId() + '\n';
}

// The backup is left out: on the exchange path it is the previous installation itself, which goes
// back into place, and must not come back hidden.
void hideWorkingDirectories(const StagingLayout &layout)
{
    for (const QString &directory : {layout.updateDir(), layout.preserveDir(), layout.staleDir(),
                                     layout.legacyConfigBackupDir()}) {
        if (QFileInfo(directory).isDir())
            Platform::hideEntry(directory);
    }
}

} // namespace

InstallationLock::~InstallationLock()
{
    release();
}

bool InstallationLock::acquire(const QString &installDir, QString *error)
{
    release();
    const StagingLayout layout(installDir);
    const QString path = layout.lockFile();
    const QString parent = QFileInfo(path).path();
    // As the download would: the directory that is to hold the installation.
    QDir().mkpath(parent);
    // Every working directory goes where the lock goes: an updater that may not write there (not
    // elevated, under Program Files) says so before it starts.
    if (!Platform::mayCreateEntriesIn(parent))
        return fail(error, mayNotWrite(parent));
    switch (m_lock.lock(path)) {
    case ExclusiveFileLock::Result::Locked:
        break;
    case ExclusiveFileLock::Result::HeldElsewhere:
        return fail(error,
                    QStringLiteral("Another update of this installation is already running."));
    case ExclusiveFileLock::Result::AccessDenied:
        return fail(error, mayNotWrite(path));
    case ExclusiveFileLock::Result::Failed:
        return fail(error,
                    QStringLiteral("Could not create %1").arg(QDir::toNativeSeparators(path)));
    }
    m_installDir = installDir;
    // The record only informs; the lock holds whether or not it could be written.
    m_lock.write(holderRecord());
    Platform::hideEntry(path);
    // Earlier updaters took over a stale lock under a second one, which a kill during the takeover
    // left behind. Only they used it, and none of them can take this lock while it is held.
    const QString takeoverLock = path + QStringLiteral(".rmlock");
    if (QFileInfo::exists(takeoverLock))
        QFile::remove(takeoverLock);
    hideWorkingDirectories(layout);
    return true;
}

void InstallationLock::release()
{
    if (!m_lock.isLocked())
        return;
    hideWorkingDirectories(StagingLayout(m_installDir));
    m_lock.release();
}

} // namespace Updater
