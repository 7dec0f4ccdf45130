#pragma once

#include "source/deltaplan.h"
#include "source/packagedownload.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace Updater {

class TransferCancellation;

// How many transfers of a differential update run at once.
constexpr int rangeTransfersInFlight = 4;

// Fetches each transfer into a file of its own in directory ("transfer-<index>"; *files receives
// their paths in the order of transfers), rangeTransfersInFlight at a time, each by runTransfer's
// rules: a range with one GET for exactly its bytes ("Range: bytes=a-b", never several ranges in
// one), taken only from a 206 answer whose Content-Range names exactly those bytes of a file of
// the listed size; a whole file with a plain GET answered by 200. Each must bring exactly its
// length; progress gets the bytes received of all of them. False with one message in *error (may
// be null): "Failed to create %1: %2", or "Failed to download %1: %2" with the URL and the first
// failure's reason (a cancelled transfer fails so too); the first failure ends the others. What
// was written stays. Thread with an event loop (GUI); waits in a local event loop.
bool downloadTransfers(const QList<DeltaTransfer> &transfers, const QString &directory,
                       const DownloadProgress &progress, const TransferCancellation *cancel,
                       QStringList *files, QString *error);

} // namespace Updater
