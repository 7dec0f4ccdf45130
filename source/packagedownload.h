#pragma once

#include <QString>

#include <functional>

namespace Updater {

class TransferCancellation;

// Called as the package arrives: the bytes written so far and the size the server announced
// (0 when it announced none). Called on the downloading thread.
using DownloadProgress = std::function<void(qint64 written, qint64 announcedSize)>;

// Streams url (one GET with updateRequest's setup) into the file at path: creates its directory,
// deletes a leftover file, writes the body as it arrives (memory does not grow with the size) and
// stops at the first failed write. False with one message in *error (may be null):
// "Failed to create package file: %1" (no request is sent then) or
// "Failed to download package: %1" with the reply's or the write's reason; the partly written
// file stays, unless it filled the disk: then it goes, and its directory too when that is empty. A
// cancelled transfer fails as a failed download. The digest is not checked here. Thread with an
// event loop (GUI); waits in a local event loop.
bool downloadPackage(const QString &url, const QString &path, const DownloadProgress &progress,
                     const TransferCancellation *cancel, QString *error);

} // namespace Updater
