#include "worker/updateworker.h"

#include "install/filetree.h"
#include "install/staginglayout.h"
#include "worker/processrunner.h"

#include <QDir>

namespace Updater {

namespace {

// PowerShell takes the typographic single quotes as single quotes too, so each of them would
// end a quoted path early unless it is doubled like the plain one.
bool isPowerShellSingleQuote(QChar c)
{
    switch (c.unicode()) {
    case u'\'':
    case u'\u2018':
    case u'\u2019':
    case u'\u201A':
    case u'\u201B':
        return true;
    default:
        return false;
    }
}

QString escapeForSingleQuotes(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        escaped += c;
        if (isPowerShellSingleQuote(c))
            escaped += c;
    }
    return escaped;
}

} // namespace

bool UpdateWorker::extractPackage(QString *error)
{
    const QString extractedDir = extractedDirPath();
    // removePath takes a link as a link: a stale "extracted" that points elsewhere must not take
    // what it points at with it.
    removePath(extractedDir);
    QDir().mkpath(extractedDir);

    const QString packagePath = StagingLayout(options.installDir).packageFile();
    // Both paths in one pass, so that a "%1" inside a path is left alone.
    const QString command =
        QStringLiteral("Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force")
            .arg(escapeForSingleQuotes(packagePath), escapeForSingleQuotes(extractedDir));

    return runProcess(QStringLiteral("powershell.exe"),
                      {QStringLiteral("-NoProfile"), QStringLiteral("-NonInteractive"),
                       QStringLiteral("-ExecutionPolicy"), QStringLiteral("Bypass"),
                       QStringLiteral("-Command"), command},
                      error);
}

} // namespace Updater
