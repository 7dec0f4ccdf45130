#pragma once

#include <QString>

namespace Updater {

// The updater's working directories. All of them are entries of the directory that contains the
// installation directory (QFileInfo(installDir).dir() of the path as given, so a trailing
// separator makes it the installation directory itself). Paths use Qt's forward slashes.
class StagingLayout
{
public:
    explicit StagingLayout(const QString &installDir);

    QString installDir() const { return m_installDir; }
    QString parentDir() const { return m_parentDir; }

    QString updateDir() const;             // .orvalink-update (online mode's staging directory)
    QString packageFile() const;           // .orvalink-update/package.zip
    QString extractedDir() const;          // .orvalink-update/extracted
    QString deltaDir() const;              // .orvalink-update/delta (fetched pieces)
    QString deltaFailuresFile() const;     // .orvalink-update/delta-failed (versions)
    QString backupDir() const;             // .orvalink-backup
    QString preserveDir() const;           // .orvalink-preserve
    QString legacyConfigBackupDir() const; // .orvalink-legacy-config-backup
    QString offlinePayloadCopy() const;    // .orvalink-update/offline-payload (from another volume)
    QString updaterCopyDir() const;        // .orvalink-update/updater (the updater run from there)
    QString staleDir() const;              // .orvalink-stale (what could not be deleted yet)
    QString lockFile() const;              // .orvalink-update.lock (one updater at a time)
    QString logFile() const;               // .orvalink-update.log (the runs' logs; stays)

private:
    QString m_installDir;
    QString m_parentDir;
};

} // namespace Updater
