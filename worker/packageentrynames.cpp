#include "worker/packageentrynames.h"

#include "common/failure.h"
#include "common/windowsnames.h"
#include "install/staginglayout.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace Updater {

namespace {

// The names of the working directories, which the installation keeps beside the installed
// tree: a payload entry of the same name at its top would be taken for one of them.
const QStringList &workingDirectoryNames()
{
    static const QStringList names = [] {
        const StagingLayout layout(QStringLiteral("/installation"));
        QStringList result;
        for (const QString &path :
             {layout.updateDir(), layout.backupDir(), layout.preserveDir(),
              layout.legacyConfigBackupDir(), layout.staleDir(), layout.lockFile()})
            result << QFileInfo(path).fileName();
        return result;
    }();
    return names;
}

QString shown(const QString &name)
{
    QString text;
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            text += QStringLiteral("\\x%1").arg(QString::number(c.unicode(), 16).toUpper(), 2,
                                                QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}

} // namespace

bool PackageEntryNames::add(const QString &name, Kind kind, QStringList *segments, QString *error)
{
    const auto refuse = [&] {
        return fail(error, QStringLiteral("Package entry is not allowed: %1").arg(shown(name)));
    };
    // A leading separator is a root or a UNC name.
    if (kind == Kind::Other || name.isEmpty() || name.front() == QLatin1Char('/')
        || name.front() == QLatin1Char('\\'))
        return refuse();

    static const QRegularExpression separator(QStringLiteral("[/\\\\]"));
    QStringList parts = name.split(separator);
    // A directory's name may end in a separator, as zip tools write it.
    if (kind == Kind::Directory && parts.size() > 1 && parts.last().isEmpty())
        parts.removeLast();
    for (const QString &part : std::as_const(parts)) {
        // Also "." and "..", which end in a dot, and drive letters, which hold ':'.
        if (part.isEmpty() || !windowsNameProblem(part).isEmpty())
            return refuse();
    }
    for (int level = 0; level < qMin<qsizetype>(parts.size(), 2); ++level) {
        if (workingDirectoryNames().contains(parts.at(level), Qt::CaseInsensitive))
            return refuse();
    }

    QString place;
    QString folded;
    for (qsizetype level = 0; level < parts.size(); ++level) {
        if (level > 0) {
            place += QLatin1Char('/');
            folded += QLatin1Char('/');
        }
        place += parts.at(level);
        folded += parts.at(level).toCaseFolded();
        const bool isEntry = level == parts.size() - 1;
        const Kind needed = isEntry ? kind : Kind::Directory;
        const auto known = m_places.constFind(folded);
        if (known == m_places.cend()) {
            m_places.insert(folded, {needed, place});
            continue;
        }
        // Only a directory may be named twice (as an entry and as a parent of others), and
        // only in the same spelling.
        if (known->kind != Kind::Directory || needed != Kind::Directory || known->path != place)
            return refuse();
    }
    if (segments)
        *segments = parts;
    return true;
}

} // namespace Updater
