#include "tools/release/payloadscan.h"

#include "common/failure.h"
#include "common/productnames.h"
#include "common/windowsnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Release {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The updater compares these names as Windows does, without regard to letter case: a variant
// spelled otherwise would be taken for the client, a user's entry or a working directory there
// while it is none of them on the machine that packs it.
QString specialNameProblem(const QString &name, bool topLevel)
{
    if (name.startsWith(QLatin1String(".orvalink-"), Qt::CaseInsensitive))
        return QStringLiteral("carries a name of the updater's own working entries");
    if (!topLevel)
        return QString();
    QStringList special = preservedEntryNames();
    special << clientExecutableName();
    for (const QString &exact : std::as_const(special)) {
        if (name.compare(exact, Qt::CaseInsensitive) == 0 && name != exact)
            return QStringLiteral("differs from %1 only in letter case, which the updater would "
                                  "take for it on Windows")
                .arg(exact);
    }
    return QString();
}

// A name shaped like a short (8.3) alias, "NAME~1.EXT": on Windows it may already stand for
// another entry of the folder, and writing it would replace that entry.
bool looksLikeShortAlias(const QString &name)
{
    static const QRegularExpression alias(QStringLiteral("^[^.~]{1,6}~[0-9]{1,6}(\\.[^.]{0,3})?$"));
    const int dot = name.indexOf(QLatin1Char('.'));
    return (dot < 0 ? name.size() : dot) <= 8 && alias.match(name).hasMatch();
}

class PayloadScanner
{
public:
    PayloadScanner(const QString &root, const QString &prefix)
        : m_root(root)
        , m_prefix(prefix)
    {
    }

    // relativeDir is "" for the payload root, otherwise "a/b".
    bool scanDirectory(const QString &relativeDir, QString *error)
    {
        const QString dirPath =
            relativeDir.isEmpty() ? m_root : m_root + QLatin1Char('/') + relativeDir;
        QDir dir(dirPath);
        if (!dir.isReadable())
            return fail(error, QStringLiteral("Cannot read the payload directory %1").arg(dirPath));
        // System lists broken links and special files too, so they are refused rather than lost.
        const QStringList names = dir.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);

        QHash<QString, QString> folded;
        for (const QString &name : names) {
            const QString relative =
                relativeDir.isEmpty() ? name : relativeDir + QLatin1Char('/') + name;
            QString problem = windowsNameProblem(name);
            if (problem.isEmpty())
                problem = specialNameProblem(name, relativeDir.isEmpty());
            if (problem.isEmpty() && looksLikeShortAlias(name))
                problem = QStringLiteral("looks like a short name that Windows may already use "
                                         "for another entry");
            if (!problem.isEmpty())
                return fail(error,
                            QStringLiteral("The payload entry %1 %2.").arg(relative, problem));
            const QString key = name.toCaseFolded();
            if (folded.contains(key))
                return fail(error,
                            QStringLiteral("The payload entries %1 and %2 differ only in letter "
                                           "case; Windows keeps only one of them.")
                                .arg(folded.value(key), relative));
            folded.insert(key, relative);
            if (!scanEntry(relative, error))
                return false;
        }
        return true;
    }

    QList<PayloadEntry> takeEntries() { return std::move(m_entries); }

private:
    bool scanEntry(const QString &relative, QString *error)
    {
        const QString path = m_root + QLatin1Char('/') + relative;
        struct stat status;
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
            return fail(
                error,
                QStringLiteral("Cannot read the payload entry %1: %2").arg(path, systemError()));

        PayloadEntry entry;
        entry.sourcePath = path;
        entry.permissions = status.st_mode & 07777;
        entry.archivePath = m_prefix + relative;

        if (S_ISDIR(status.st_mode)) {
            entry.kind = PayloadEntry::Kind::Directory;
            entry.archivePath += QLatin1Char('/');
            m_entries.append(entry);
            return scanDirectory(relative, error);
        }
        if (S_ISREG(status.st_mode)) {
            entry.kind = PayloadEntry::Kind::File;
            entry.size = status.st_size;
            m_entries.append(entry);
            return true;
        }
        // The updater refuses a package that holds a link, so a release with one could never be
        // installed.
        if (S_ISLNK(status.st_mode))
            return fail(error, QStringLiteral("The payload entry %1 is a link, which the updater "
                                              "refuses; put what it leads to in its place.")
                                   .arg(relative));
        return fail(error, QStringLiteral("The payload entry %1 is neither a file nor a directory.")
                               .arg(relative));
    }

    QString m_root;
    QString m_prefix;
    QList<PayloadEntry> m_entries;
};

// The updater takes a package whose only entry is a directory for a wrapped release and
// installs that directory's contents. A payload shaped like that would lose its top level.
// Dot names are left out of the count because a plain listing on Linux does not show them.
// Returns that directory's name, or an empty text when the payload is not shaped like that.
QString wrappingFolder(const QList<PayloadEntry> &entries)
{
    int visible = 0;
    QString folder;
    for (const PayloadEntry &entry : entries) {
        const bool isDirectory = entry.kind == PayloadEntry::Kind::Directory;
        const QString path = isDirectory ? entry.archivePath.chopped(1) : entry.archivePath;
        if (path.contains(QLatin1Char('/')) || path.startsWith(QLatin1Char('.')))
            continue;
        ++visible;
        folder = isDirectory ? path : QString();
    }
    return visible == 1 ? folder : QString();
}

} // namespace

bool scanPayload(const QString &payloadDir, const QString &topFolder, QList<PayloadEntry> *entries,
                 QString *error)
{
    if (error)
        error->clear();

    const QFileInfo rootInfo(payloadDir);
    if (!rootInfo.exists())
        return fail(error,
                    QStringLiteral("The payload directory %1 does not exist.").arg(payloadDir));
    if (!rootInfo.isDir())
        return fail(error, QStringLiteral("The payload %1 is not a directory.").arg(payloadDir));

    QString prefix;
    if (!topFolder.isEmpty()) {
        const QString problem = windowsNameProblem(topFolder);
        if (!problem.isEmpty())
            return fail(error, QStringLiteral("The top folder %1 %2.").arg(topFolder, problem));
        prefix = topFolder + QLatin1Char('/');
    }

    const QString root = QDir::cleanPath(rootInfo.absoluteFilePath());
    PayloadScanner scanner(root, prefix);
    if (!scanner.scanDirectory(QString(), error))
        return false;
    QList<PayloadEntry> found = scanner.takeEntries();

    if (found.isEmpty())
        return fail(error, QStringLiteral("The payload directory %1 is empty.").arg(payloadDir));
    const QString wrapper = topFolder.isEmpty() ? wrappingFolder(found) : QString();
    if (!wrapper.isEmpty())
        return fail(error,
                    QStringLiteral("The payload holds a single folder, %1, which the updater "
                                   "would unwrap and install as the whole installation. "
                                   "Pack its contents, or pass --top-folder to wrap it "
                                   "deliberately.")
                        .arg(wrapper));

    if (!topFolder.isEmpty()) {
        PayloadEntry top;
        top.kind = PayloadEntry::Kind::Directory;
        top.archivePath = prefix;
        top.permissions = 0755;
        found.append(top);
    }

    // Code-unit order is independent of the locale; a directory's "name/" is a prefix of its
    // children's paths, so it always comes first.
    std::sort(found.begin(), found.end(), [](const PayloadEntry &a, const PayloadEntry &b) {
        return QString::compare(a.archivePath, b.archivePath, Qt::CaseSensitive) < 0;
    });
    *entries = found;
    return true;
}

} // namespace Updater::Release
