#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace TestSupport {

// Everything under a directory, hidden entries included, as relative path -> description:
// "dir <mode>", "file <mode> <sha256>" or "link <target>". Links are recorded, never followed,
// so comparing two snapshots proves a tree unchanged byte for byte.
class TreeSnapshot
{
public:
    TreeSnapshot() = default;

    // An empty snapshot with exists() false when nothing is at root.
    static TreeSnapshot take(const QString &root);

    bool exists() const { return m_exists; }
    const QMap<QString, QString> &entries() const { return m_entries; }
    bool contains(const QString &relativePath) const { return m_entries.contains(relativePath); }
    QString value(const QString &relativePath) const { return m_entries.value(relativePath); }

    // Only the entries at or below the given top-level names.
    TreeSnapshot restrictedTo(const QStringList &topLevelNames) const;

    // One line per entry that differs, is missing or is extra in `other`; empty when equal.
    QStringList differences(const TreeSnapshot &other) const;

    bool operator==(const TreeSnapshot &other) const
    {
        return m_exists == other.m_exists && m_entries == other.m_entries;
    }
    bool operator!=(const TreeSnapshot &other) const { return !(*this == other); }

private:
    bool m_exists = false;
    QMap<QString, QString> m_entries;
};

// Relative path -> "dir", "link:<target as written>" or "file:<bytes>", hidden entries included,
// links never followed. A missing root gives an empty picture. Where a failed comparison should
// show the bytes that differ.
QMap<QString, QByteArray> snapshot(const QString &root);

// The picture of the named top-level entries only.
QMap<QString, QByteArray> snapshotOf(const QString &root, const QStringList &names);

} // namespace TestSupport
