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
    // The installation directory's own name, which its working directories carry.
    QString installName() const;

    QString updateDir() const;             // .orvalink-update (online mode's staging directory)
    QString packageFile() const;           // .orvalink-update/package.zip
    QString extractedDir() const;          // .orvalink-update/extracted
    QString deltaDir() const;              // .orvalink-update/delta (fetched pieces)
    QString deltaFailuresFile() const;     // .orvalink-update/delta-failed (versions)
    QString legacyConfigBackupDir() const; // .orvalink-legacy-config-backup
    QString offlinePayloadCopy() const;    // .orvalink-update/offline-payload (from another volume)
    QString updaterCopyDir() const;        // .orvalink-update/updater (the updater run from there)
    QString lockFile() const;              // .orvalink-update.lock (one updater at a time)
    QString logFile() const;               // .orvalink-update.log (the runs' logs; stays)

    // The exchange's own directories carry the installation's name: two installations side by
    // side in one folder never recover, reuse or delete each other's.
    QString backupDir() const;   // .orvalink-backup-<name>: the previous installation, or the
                                 // entries an in-place installation set aside, with its journal
    QString incomingDir() const; // .orvalink-incoming-<name>: the payload, moved beside first
    QString staleDir() const;    // .orvalink-stale-<name>: what could not be deleted yet

    // What earlier builds left under names shared by every installation of the folder.
    QString legacyBackupDir() const; // .orvalink-backup
    QString preserveDir() const;     // .orvalink-preserve
    QString legacyStaleDir() const;  // .orvalink-stale

private:
    QString entry(const QString &name) const;
    QString ownEntry(const QString &prefix) const;

    QString m_installDir;
    QString m_parentDir;
};

} // namespace Updater
