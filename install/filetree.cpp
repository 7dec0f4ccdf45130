#include "install/filetree.h"

#include "platform/fileentries.h"
#include "platform/filelinks.h"

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
    if (QFile::remove(path))
        return true;
    return Platform::clearReadOnly(path) && QFile::remove(path);
}

bool removeEmptyDirectory(const QString &path)
{
    if (QDir().rmdir(path))
        return true;
    return Platform::clearReadOnly(path) && QDir().rmdir(path);
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
    const unsigned long pause = pauseMs > 0 ? static_cast<unsigned long>(pauseMs) : 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Deleting the target for a source that is gone would destroy the target for nothing.
        if (!entryExists(source))
            return false;
        // A pure rename: QDir::rename would copy and delete a file that cannot be renamed, and
        // refuses a dangling link.
        if (!entryExists(target) || removePath(target)) {
            if (Platform::renameEntry(source, target))
                return true;
        }
        QThread::msleep(pause);
    }
    return false;
}

bool moveEntry(const QString &source, const QString &target, int attempts, int pauseMs)
{
    const unsigned long pause = pauseMs > 0 ? static_cast<unsigned long>(pauseMs) : 0;
    bool crossesVolumes = false;
    for (int attempt = 0; attempt < attempts && entryExists(source); ++attempt) {
        if (Platform::renameEntry(source, target))
            return true;
        crossesVolumes = Platform::lastRenameCrossedVolumes();
        if (crossesVolumes)
            break;
        QThread::msleep(pause);
    }
    if (!crossesVolumes)
        return false;
    // Built under the partial-copy name and renamed once complete: a kill part way through
    // leaves a target that is either complete or not there.
    if (!copyReplacing(source, target, EntryScope::AllEntries) || !removePath(source)) {
        // Half a move would leave two copies, one of them incomplete: undo the copy. A source
        // that could be deleted only in part is not restored; it still was not the only copy.
        if (entryExists(source))
            removePath(target);
        return !entryExists(source);
    }
    return true;
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

// Moves every entry below directory that is not a directory into staleDir; directories on the
// same volume are walked, others left alone.
void moveAside(const QString &directory, std::uint64_t fileSystem, const QDir &staleDir)
{
    const QFileInfoList entries = listEntries(directory, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        const EntryKind kind = Platform::entryKind(path);
        if (kind == EntryKind::Directory) {
            if (Platform::fileSystemId(path) == fileSystem)
                moveAside(path, fileSystem, staleDir);
        } else if (kind != EntryKind::Missing && kind != EntryKind::Unknown) {
            Platform::renameEntry(path, freshName(staleDir, entry.fileName()));
        }
    }
}

} // namespace

bool discardEntry(const QString &path, const QString &staleDir)
{
    if (removePath(path))
        return true;
    if (Platform::entryKind(path) != EntryKind::Directory) {
        QDir().mkpath(staleDir);
        Platform::renameEntry(path, freshName(QDir(staleDir), QFileInfo(path).fileName()));
    } else if (QDir().mkpath(staleDir)) {
        moveAside(path, Platform::fileSystemId(path), QDir(staleDir));
    }
    removePath(path);
    QDir().rmdir(staleDir);
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
    // QFile::copy never overwrites.
    QFile::remove(target);
    return QFile::copy(source, target);
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
