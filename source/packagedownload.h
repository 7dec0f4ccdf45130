#pragma once

#include <QString>

#include <functional>

namespace Updater {

class TransferCancellation;

// Called as the package arrives: the bytes of the package on disk so far (a resumed part
// included) and its whole size as known from the manifest or the server (0 when unknown). Called
// on the downloading thread.
using DownloadProgress = std::function<void(qint64 written, qint64 announcedSize)>;

// Streams url (runTransfer's rules) into the file at path, expectedSize bytes long (-1: not
// known): creates its directory, writes the body as it arrives (memory does not grow with the
// size) and stops at the first failed write. A part left by an earlier attempt at the same URL is
// resumed: the request asks for the rest (Range) if the package is still the one the first
// answer described (If-Range with its ETag or Last-Modified, kept beside the file); a 206 is
// appended, a 200 starts the file again, any other answer starts again with a plain request.
// Any other leftover is deleted first. With a known size, a volume with less room than the rest
// needs fails before any request, and an answer that announces another size or sends more fails
// at once. False with one message in *error (may be null): "Failed to create package file: %1" or
// "Not enough disk space: %1 needed, %2 free." (no request is sent then), or "Failed to download
// package: %1" with the reason (the transfer's, the write's, or a wrong size or an early end). A
// part cut short by the network or a stall stays for the next attempt to resume; a package that
// filled the disk or broke its size goes, its directory too when that is empty then. A cancelled
// transfer fails as a failed download. The digest is not checked here. Thread with an event loop
// (GUI); waits in a local event loop.
bool downloadPackage(const QString &url, const QString &path, qint64 expectedSize,
                     const DownloadProgress &progress, const TransferCancellation *cancel,
                     QString *error);

// Deletes the package file at path with what is kept beside it for resuming it: after its digest
// failed, so that the next attempt starts from nothing. Results are not examined.
void discardPackage(const QString &path);

// The offline counterpart of downloadPackage: copies the package file at source into path
// (whose directory it creates, replacing a leftover), exactly expectedSize bytes (-1: any size),
// checking the free space first; the copy is what is then verified and unpacked, so that the
// source can no longer change under the update. False with one message in *error (may be null):
// "Could not open %1", "Not enough disk space: %1 needed, %2 free.", "Failed to create package
// file: %1", or "Could not copy the offline package: %1" with the reason (a read or write
// failure, or a file of another size, of which no more than one byte past the size is read);
// nothing is left then. Blocking; any thread.
bool copyPackage(const QString &source, const QString &path, qint64 expectedSize, QString *error);

} // namespace Updater
