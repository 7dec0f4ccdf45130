#pragma once

#include "common/updatemanifest.h"

#include <QString>

namespace Updater {

class TransferCancellation;

// Fetches the manifest at url (one GET with updateRequest's setup, waited for in a local event
// loop), parses it into *manifest and accepts only the zip package format. A body of more than
// 1 MiB is refused without being read further. False with one message in *error (may be null):
// "Failed to fetch manifest: %1", "Manifest is too large.", the parser's message, or
// "Unsupported package format: %1" (then *manifest already holds the rejected manifest). A
// cancelled transfer fails as a failed fetch. Writes no file. Thread with an event loop (GUI).
bool fetchUpdateManifest(const QString &url, const TransferCancellation *cancel,
                         UpdateManifest *manifest, QString *error);

} // namespace Updater
