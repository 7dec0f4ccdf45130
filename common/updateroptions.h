#pragma once

#include <QString>

namespace Updater {

// The parsed command line; strings are kept exactly as given. Copied into the window and from
// there into the worker.
struct UpdaterOptions
{
    QString manifestUrl;
    QString offlinePayloadRoot;
    QString installDir;
    QString currentVersion;
    QString channel;
    // 0 when absent or not a decimal number. The process is opened at start-up and handed to the
    // window as a Platform::HeldProcess; the id itself is not looked at again.
    qint64 waitPid = 0;

    // Offline mode: a payload root was named (not trimmed, so blanks count).
    bool isOfflineMode() const { return !offlinePayloadRoot.isEmpty(); }
};

} // namespace Updater
