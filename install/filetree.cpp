#include "install/filetree.h"

#include "platform/filelinks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace Updater {

namespace {

bool removeFile(const QString &path)
{
    if (QFile::remove(path))
        return true;
    // A read-only file (the read-only attribute on Windows) refuses deletion until it is made
    // writable again.
    const QFile::Permissions permissions = QFile::permissions(path);
    if (permissions & QFile::WriteUser)
        return false;
    return QFile::setPermissions(path, permissions | QFile::WriteUser) && QFile::remove(path);
}

// Like QDir::removeRecursively, but it checks every entry for a link itself, so neither a
// symbolic link nor a junction (which Qt reports as a plain directory) is ever descended into.
bool removeTree(const QString &directory)
{
    bool ok = true;
    const QFileInfoList entries = listEntries(directory, EntryScope::AllEntries);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        if (Platform::isLink(path))
            ok = Platform::removeLink(path) && ok;
        else if (entry.isDir())
            ok = removeTree(path) && ok;
        else
            ok = removeFile(path) && ok;
    }
    return QDir().rmdir(directory) && ok;
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
    return QFileInfo::exists(path) || Platform::isLink(path);
}

bool removePath(const QString &path)
{
    if (Platform::isLink(path))
        return Platform::removeLink(path);
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    if (info.isDir())
        return removeTree(path);
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

bool copyRecursively(const QString &source, const QString &target, EntryScope scope)
{
    if (Platform::isLink(source)) {
        if (Platform::isLink(target) || QFileInfo(target).isFile())
            removePath(target);
        return Platform::copyLink(source, target);
    }
    const QFileInfo info(source);
    if (!info.exists())
        return false;
    if (info.isDir()) {
        // An unreadable directory lists as empty; copying it would pass off an empty copy as
        // complete.
        if (!info.isReadable())
            return false;
        // Writing through a link at the target would put the copy outside the tree.
        if (Platform::isLink(target))
            Platform::removeLink(target);
        if (!QDir().mkpath(target) || !QFileInfo(target).isDir())
            return false;
        const QDir targetDir(target);
        const QFileInfoList entries = listEntries(source, scope);
        for (const QFileInfo &entry : entries) {
            const QString entryPath = entry.absoluteFilePath();
            // Sockets, pipes and devices hold no data to copy (and reading a pipe would block).
            if (!entry.isDir() && !entry.isFile() && !Platform::isLink(entryPath))
                continue;
            if (!copyRecursively(entryPath, targetDir.filePath(entry.fileName()), scope))
                return false;
        }
        return true;
    }
    if (!info.isFile())
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
