#include "worker/updateworker.h"

#include "common/productnames.h"
#include "install/filetree.h"
#include "install/stagedinstallation.h"
#include "install/staginglayout.h"
#include "platform/entrypermissions.h"
#include "platform/fileentries.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

using Platform::EntryKind;

bool UpdateWorker::preparePayload(QString *error)
{
    const StagingLayout layout(options.installDir);
    payloadRoot = installsOfflineFolder() ? options.offlinePayloadRoot
                                          : resolvePayloadRoot(extractedDirPath());

    const EntryKind kind = Platform::entryKind(payloadRoot);
    // A payload that is not there at all is the installation's to report, after it has given
    // back what an interrupted run left.
    if (kind == EntryKind::Missing)
        return true;
    // The release zip passed by mistake, or a link: installing it would make the installation a
    // file, or move whatever the link names.
    if (installsOfflineFolder() && kind != EntryKind::Directory) {
        *error = QStringLiteral("Offline payload root is not a directory.");
        return false;
    }
    // A release folder nested one level too deep would install a client that never starts.
    if (Platform::entryKind(QDir(payloadRoot).filePath(clientExecutableName()))
        != EntryKind::File) {
        *error = QStringLiteral("The package does not contain %1.").arg(clientExecutableName());
        return false;
    }

    // The client's TEMP on C: and the installation on D:: a rename cannot move the payload into
    // place, so it is copied beside the installation first (hidden entries too, links as links).
    if (installsOfflineFolder()
        && Platform::fileSystemId(payloadRoot)
               != Platform::fileSystemId(QFileInfo(layout.updateDir()).path())) {
        const QString copy = layout.offlinePayloadCopy();
        removePath(copy);
        if (!QDir().mkpath(layout.updateDir())
            || !copyRecursively(payloadRoot, copy, EntryScope::AllEntries)) {
            removePath(copy);
            QDir().rmdir(layout.updateDir());
            *error = QStringLiteral("Could not copy the offline payload to %1")
                         .arg(QDir::toNativeSeparators(copy));
            return false;
        }
        payloadRoot = copy;
    }
    // A payload from a folder of the user's would bring the user's ownership into the
    // installation (Linux; on Windows the permissions are reset once it is in place).
    const QString model =
        QFileInfo::exists(options.installDir) ? options.installDir : layout.parentDir();
    if (options.isOfflineMode() && !Platform::adoptOwnerAndMode(payloadRoot, model)) {
        *error = QStringLiteral("The updater may not write to %1.")
                     .arg(QDir::toNativeSeparators(payloadRoot));
        return false;
    }
    return true;
}

} // namespace Updater
