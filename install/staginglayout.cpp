#include "install/staginglayout.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

StagingLayout::StagingLayout(const QString &installDir)
    : m_installDir(installDir)
    , m_parentDir(QFileInfo(installDir).dir().path())
{
}

QString StagingLayout::installName() const
{
    return QFileInfo(m_installDir).fileName();
}

QString StagingLayout::entry(const QString &name) const
{
    return QDir(m_parentDir).filePath(name);
}

QString StagingLayout::ownEntry(const QString &prefix) const
{
    return entry(prefix + QLatin1Char('-') + installName());
}

QString StagingLayout::updateDir() const
{
    return entry(QStringLiteral(".orvalink-update"));
}

QString StagingLayout::packageFile() const
{
    return QDir(updateDir()).filePath(QStringLiteral("package.zip"));
}

QString StagingLayout::extractedDir() const
{
    return QDir(updateDir()).filePath(QStringLiteral("extracted"));
}

QString StagingLayout::deltaDir() const
{
    return QDir(updateDir()).filePath(QStringLiteral("delta"));
}

QString StagingLayout::deltaFailuresFile() const
{
    return QDir(updateDir()).filePath(QStringLiteral("delta-failed"));
}

QString StagingLayout::legacyConfigBackupDir() const
{
    return entry(QStringLiteral(".orvalink-legacy-config-backup"));
}

QString StagingLayout::offlinePayloadCopy() const
{
    return QDir(updateDir()).filePath(QStringLiteral("offline-payload"));
}

QString StagingLayout::updaterCopyDir() const
{
    return QDir(updateDir()).filePath(QStringLiteral("updater"));
}

QString StagingLayout::lockFile() const
{
    return entry(QStringLiteral(".orvalink-update.lock"));
}

QString StagingLayout::backupDir() const
{
    return ownEntry(QStringLiteral(".orvalink-backup"));
}

QString StagingLayout::incomingDir() const
{
    return ownEntry(QStringLiteral(".orvalink-incoming"));
}

QString StagingLayout::staleDir() const
{
    return ownEntry(QStringLiteral(".orvalink-stale"));
}

QString StagingLayout::legacyBackupDir() const
{
    return entry(QStringLiteral(".orvalink-backup"));
}

QString StagingLayout::preserveDir() const
{
    return entry(QStringLiteral(".orvalink-preserve"));
}

QString StagingLayout::legacyStaleDir() const
{
    return entry(QStringLiteral(".orvalink-stale"));
}

QString StagingLayout::logFile() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-update.log"));
}

} // namespace Updater
