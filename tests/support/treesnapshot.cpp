#include "treesnapshot.h"

#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

namespace {

QString describe(const QString &path)
{
    struct stat status = {};
    const QByteArray native = QFile::encodeName(path);
    if (lstat(native.constData(), &status) != 0)
        return QStringLiteral("unreadable");
    const QString mode = QString::number(status.st_mode & 07777, 8);
    if (S_ISLNK(status.st_mode)) {
        char target[4096];
        const ssize_t length = readlink(native.constData(), target, sizeof target);
        return QStringLiteral("link %1").arg(
            QFile::decodeName(QByteArray(target, length > 0 ? int(length) : 0)));
    }
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("dir %1").arg(mode);
    if (S_ISREG(status.st_mode))
        return QStringLiteral("file %1 %2").arg(mode, sha256OfFile(path));
    return QStringLiteral("special %1").arg(mode);
}

} // namespace

TreeSnapshot TreeSnapshot::take(const QString &root)
{
    TreeSnapshot snapshot;
    const QFileInfo rootInfo(root);
    if (!rootInfo.exists() && !rootInfo.isSymLink())
        return snapshot;
    snapshot.m_exists = true;
    const QDir rootDir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        snapshot.m_entries.insert(rootDir.relativeFilePath(path), describe(path));
    }
    return snapshot;
}

TreeSnapshot TreeSnapshot::restrictedTo(const QStringList &topLevelNames) const
{
    TreeSnapshot restricted;
    restricted.m_exists = m_exists;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        const QString top = it.key().section(QLatin1Char('/'), 0, 0);
        if (topLevelNames.contains(top))
            restricted.m_entries.insert(it.key(), it.value());
    }
    return restricted;
}

QStringList TreeSnapshot::differences(const TreeSnapshot &other) const
{
    QStringList lines;
    if (m_exists != other.m_exists)
        lines << (m_exists ? QStringLiteral("the tree is gone")
                           : QStringLiteral("the tree appeared"));
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!other.m_entries.contains(it.key()))
            lines << QStringLiteral("missing %1 (%2)").arg(it.key(), it.value());
        else if (other.m_entries.value(it.key()) != it.value())
            lines << QStringLiteral("changed %1: %2 -> %3")
                         .arg(it.key(), it.value(), other.m_entries.value(it.key()));
    }
    for (auto it = other.m_entries.cbegin(); it != other.m_entries.cend(); ++it) {
        if (!m_entries.contains(it.key()))
            lines << QStringLiteral("extra %1 (%2)").arg(it.key(), it.value());
    }
    return lines;
}

QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> picture;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray value;
        if (info.isSymLink())
            value = "link:" + linkText(path);
        else if (info.isDir())
            value = "dir";
        else
            value = "file:" + readFile(path);
        picture.insert(base.relativeFilePath(path), value);
    }
    return picture;
}

QMap<QString, QByteArray> snapshotOf(const QString &root, const QStringList &names)
{
    QMap<QString, QByteArray> picture;
    const QMap<QString, QByteArray> all = snapshot(root);
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        if (names.contains(it.key().section(QLatin1Char('/'), 0, 0)))
            picture.insert(it.key(), it.value());
    }
    return picture;
}

} // namespace TestSupport
