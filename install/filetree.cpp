#include "install/filetree.h"

#include "install/retrylimits.h"
#include "platform/fileentries.h"
#include "platform/filelinks.h"
#include "platform/hiddenentries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace Updater {

namespace {

using Platform::EntryKind;

// A read-only entry (the read-only attribute on Windows, a folder's included) refuses deletion
// until it is made writable again.
bool removeFile(const QString &path)
{
    if (Platform::removeFile(path))
        return true;
    return Platform::clearReadOnly(path) && Platform::removeFile(path);
}

bool removeEmptyDirectory(const QString &path)
{
    if (Platform::removeEmptyDirectory(path))
        return true;
    return Platform::clearReadOnly(path) && Platform::removeEmptyDirectory(path);
}

// Like QDir::removeRecursively, but it asks the file system what each entry is, so neither a
// symbolic link, a junction nor a Windows shortcut is ever followed, and it never crosses into
// another file system (a volume mounted inside the tree keeps everything on it, as with
// rm --one-file-system). An entry the system cannot describe is not descended into.
bool removeTree(const QString &directory, std::uint64_t fileSystem)
{
    bool ok = true;
    const QFileInfoList entries = listEntries(directory, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        switch (Platform::entryKind(path)) {
        case EntryKind::Missing:
            break;
        case EntryKind::Link:
            ok = Platform::removeLink(path) && ok;
            break;
        case EntryKind::Directory:
            if (fileSystem != 0 && Platform::fileSystemId(path) != fileSystem)
                ok = false;
            else
                ok = removeTree(path, fileSystem) && ok;
            break;
        case EntryKind::Unknown:
            ok = false;
            break;
        case EntryKind::File:
        case EntryKind::Other:
            ok = removeFile(path) && ok;
            break;
        }
    }
    return removeEmptyDirectory(directory) && ok;
}

} // namespace

QFileInfoList listEntries(const QString &directory, EntryScope scope)
{
    QDir::Filters filters = QDir::AllEntries | QDir::NoDotAndDotDot;
    if (scope == EntryScope::AllEntries)
        filters |= QDir::Hidden | QDir::System;
    return QDir(directory).entryInfoList(filters, QDir::NoSort);
}

bool retried(int attempts, int pauseMs, const std::function<bool()> &step)
{
    const unsigned long pause = pauseMs > 0 ? static_cast<unsigned long>(pauseMs) : 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (step())
            return true;
        if (Platform::lastFailure() != Platform::Failure::Transient)
            return false;
        QThread::msleep(pause);
    }
    return false;
}

bool entryExists(const QString &path)
{
    return Platform::entryKind(path) != EntryKind::Missing;
}

bool removePath(const QString &path)
{
    switch (Platform::entryKind(path)) {
    case EntryKind::Missing:
        return true;
    case EntryKind::Link:
        return Platform::removeLink(path);
    case EntryKind::Directory:
        return removeTree(path, Platform::fileSystemId(path));
    case EntryKind::Unknown:
        return false;
    case EntryKind::File:
    case EntryKind::Other:
        break;
    }
    return removeFile(path);
}

bool renameWithRetries(const QString &source, const QString &target, int attempts, int pauseMs)
{
    return retried(attempts, pauseMs, [&] {
        // Deleting the target for a source that is gone would destroy the target for nothing;
        // the rename then fails as not found, which ends the attempts.
        if (entryExists(source) && entryExists(target) && !removePath(target))
            return false;
        // A pure rename: QDir::rename would copy and delete a file that cannot be renamed, and
        // refuses a dangling link.
        return Platform::renameEntry(source, target);
    });
}

bool moveEntry(const QString &source, const QString &target, int attempts, int pauseMs)
{
    if (retried(attempts, pauseMs, [&] { return Platform::renameEntry(source, target); }))
        return true;
    if (!entryExists(source) || Platform::lastFailure() != Platform::Failure::OtherVolume)
        return false;
    // Built under the partial-copy name and renamed once complete: a kill part way through
    // leaves a target that is either complete or not there.
    if (!copyReplacing(source, target, EntryScope::AllEntries))
        return false;
    if (removePath(source))
        return true;
    // The source could be deleted only in part (a file held, a mount inside): it is made whole
    // again from the copy, which goes only once it has, so that the entry stays where it was and
    // the complete copy is never the one deleted.
    if (copyRecursively(target, source, EntryScope::AllEntries))
        removePath(target);
    return false;
}

namespace {

QString freshName(const QDir &dir, const QString &name)
{
    for (int number = 1;; ++number) {
        const QString candidate = QStringLiteral("%1-%2").arg(number).arg(name);
        if (!entryExists(dir.filePath(candidate)))
            return dir.filePath(candidate);
    }
}

// Renames path into staleDir and deletes it there. True when its name is free.
bool renameAway(const QString &path, const QDir &staleDir)
{
    const QString away = freshName(staleDir, QFileInfo(path).fileName());
    if (!retried(preserveMoveAttempts, preserveMovePauseMs,
                 [&] { return Platform::renameEntry(path, away); }))
        return false;
    removePath(away);
    return true;
}

// A directory that cannot be renamed whole: its entries go one by one, then the directories
// themselves, deepest first. Directories on another volume are left alone.
void takeApart(const QString &directory, std::uint64_t fileSystem, const QDir &staleDir)
{
    const QFileInfoList entries = listEntries(directory, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        const EntryKind kind = Platform::entryKind(path);
        if (kind == EntryKind::Missing || kind == EntryKind::Unknown)
            continue;
        if (kind == EntryKind::Directory && Platform::fileSystemId(path) != fileSystem)
            continue;
        if (!renameAway(path, staleDir) && kind == EntryKind::Directory)
            takeApart(path, fileSystem, staleDir);
    }
    removeEmptyDirectory(directory);
}

} // namespace

bool discardEntry(const QString &path, const QString &staleDir)
{
    if (!entryExists(path))
        return true;
    const std::uint64_t fileSystem = Platform::fileSystemId(path);
    const QDir stale(staleDir);
    const bool staleMade = QDir().mkpath(staleDir);
    // Hidden on Windows like every working directory.
    Platform::hideEntry(staleDir);
    if (staleMade && Platform::fileSystemId(staleDir) == fileSystem && fileSystem != 0) {
        if (!renameAway(path, stale) && Platform::entryKind(path) == EntryKind::Directory)
            takeApart(path, fileSystem, stale);
    }
    // On another volume than the stale directory (or none to be had) it is deleted in place.
    removePath(path);
    removeEmptyDirectory(staleDir);
    return !entryExists(path);
}

bool copyRecursively(const QString &source, const QString &target, EntryScope scope)
{
    const EntryKind kind = Platform::entryKind(source);
    if (kind == EntryKind::Link) {
        if (Platform::entryKind(target) != EntryKind::Directory)
            removePath(target);
        return Platform::copyLink(source, target);
    }
    const QFileInfo info(source);
    if (kind == EntryKind::Directory) {
        // An unreadable directory lists as empty; copying it would pass off an empty copy as
        // complete.
        if (!info.isReadable())
            return false;
        // Writing through a link at the target would put the copy outside the tree.
        const EntryKind targetKind = Platform::entryKind(target);
        if (targetKind == EntryKind::Link || targetKind == EntryKind::File)
            removePath(target);
        if (!QDir().mkpath(target) || Platform::entryKind(target) != EntryKind::Directory)
            return false;
        const QDir targetDir(target);
        const QFileInfoList entries = listEntries(source, scope);
        for (const QFileInfo &entry : entries) {
            const QString entryPath = entry.absoluteFilePath();
            // Sockets, pipes and devices hold no data to copy (and reading a pipe would block).
            const EntryKind entryKind = Platform::entryKind(entryPath);
            if (entryKind == EntryKind::Other || entryKind == EntryKind::Missing)
                continue;
            if (!copyRecursively(entryPath, targetDir.filePath(entry.fileName()), scope))
                return false;
        }
        return true;
    }
    if (kind != EntryKind::File)
        return false;
    return retried(preserveMoveAttempts, preserveMovePauseMs, [&] {
        return (!entryExists(target) || removePath(target)) && Platform::copyFile(source, target);
    });
}

bool sameFileContents(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly)
        || first.size() != second.size())
        return false;
    constexpr qint64 blockSize = 256 * 1024;
    while (!first.atEnd()) {
        if (first.read(blockSize) != second.read(blockSize))
            return false;
    }
    return true;
}

QString partialCopyName(const QString &name)
{
    return QStringLiteral(".orvalink-partial-") + name;
}

bool copyReplacing(const QString &source, const QString &target, EntryScope scope)
{
    const QFileInfo targetInfo(target);
    const QString partial =
        QDir(targetInfo.path()).filePath(partialCopyName(targetInfo.fileName()));
    removePath(partial);
    if (!copyRecursively(source, partial, scope)) {
        removePath(partial);
        return false;
    }
    if (!removePath(target) || !Platform::renameEntry(partial, target)) {
        removePath(partial);
        return false;
    }
    return true;
}

} // namespace Updater
