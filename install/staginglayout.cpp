#include "install/staginglayout.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

StagingLayout::StagingLayout(const QString &installDir)
    : m_installDir(installDir)
    , m_parentDir(QFileInfo(installDir).dir().path())
{
}

QString StagingLayout::updateDir() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-update"));
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

QString StagingLayout::backupDir() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-backup"));
}

QString StagingLayout::preserveDir() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-preserve"));
}

QString StagingLayout::legacyConfigBackupDir() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-legacy-config-backup"));
}

QString StagingLayout::offlinePayloadCopy() const
{
    return QDir(updateDir()).filePath(QStringLiteral("offline-payload"));
}

QString StagingLayout::updaterCopyDir() const
{
    return QDir(updateDir()).filePath(QStringLiteral("updater"));
}

QString StagingLayout::staleDir() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-stale"));
}

QString StagingLayout::lockFile() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-update.lock"));
}

QString StagingLayout::logFile() const
{
    return QDir(m_parentDir).filePath(QStringLiteral(".orvalink-update.log"));
}

} // namespace Updater
