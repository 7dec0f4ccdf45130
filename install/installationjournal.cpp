#include "install/installationjournal.h"

#include "platform/fileentries.h"

#include <QFileInfo>
#include <QUrl>

namespace Updater {

namespace {

const QByteArray header = "orvalink-in-place 2";

// A path from the journal may only name something inside the installation: a damaged or forged
// journal must not make a rollback move or delete anything elsewhere.
bool isInsidePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

// Takes one line into steps; false when it does not make sense at this point of the journal.
bool take(const QByteArray &line, InstallationJournal::Format format,
          InstallationJournal::Steps *steps)
{
    const int space = line.indexOf(' ');
    const QByteArray step = space < 0 ? line : line.left(space);
    const QString path = QUrl::fromPercentEncoding(space < 0 ? QByteArray() : line.mid(space + 1));
    const bool hasPath = space >= 0;
    if (line == "rolled back" && format == InstallationJournal::Format::Current) {
        steps->rolledBack = true;
        return true;
    }
    // Nothing follows the end of the transaction but the end of its rollback.
    if (steps->committed || steps->rolledBack)
        return false;
    if (step == "writing" || step == "committed") {
        if (hasPath || (step == "committed" && !steps->writing))
            return false;
        (step == "writing" ? steps->writing : steps->committed) = true;
        return true;
    }
    if (!hasPath || !isInsidePath(path))
        return false;
    const bool current = format == InstallationJournal::Format::Current;
    if (step == "aside" && !steps->writing) {
        steps->asides << path;
    } else if (step == "open" && !steps->writing && steps->asides.contains(path)) {
        steps->open.insert(path);
    } else if (step == "keep" && current && !steps->writing) {
        steps->keeps << path;
    } else if ((step == "new" && current && steps->writing) || (step == "writes" && !current)) {
        steps->written << path;
    } else if (step == "swap" && current && steps->writing && steps->keeps.contains(path)) {
        // What the swap did shows in the installation itself.
    } else {
        return false;
    }
    return true;
}

} // namespace

InstallationJournal::Steps InstallationJournal::read(const QString &file, Format format)
{
    Steps steps;
    QFile journal(file);
    if (!journal.open(QIODevice::ReadOnly))
        return steps;
    QList<QByteArray> lines = journal.readAll().split('\n');
    journal.close();
    // What follows the last line end is a line whose write was cut short.
    lines.removeLast();
    if (format == Format::Current && (lines.isEmpty() || lines.first().trimmed() != header))
        return steps;
    for (qsizetype i = format == Format::Current ? 1 : 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || !take(line, format, &steps))
            return Steps();
    }
    steps.readable = true;
    return steps;
}

bool InstallationJournal::create(const QString &file)
{
    close();
    m_file.setFileName(file);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    const QByteArray first = header + '\n';
    return m_file.write(first) == first.size() && Platform::flushToDisk(m_file.handle())
           && Platform::flushEntryToDisk(QFileInfo(file).path());
}

bool InstallationJournal::reopen(const QString &file)
{
    close();
    m_file.setFileName(file);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

bool InstallationJournal::note(const QString &step, const QString &path)
{
    QByteArray line = step.toLatin1();
    if (!path.isEmpty())
        line += ' ' + QUrl::toPercentEncoding(path, "/");
    line += '\n';
    return m_file.isOpen() && m_file.write(line) == line.size()
           && Platform::flushToDisk(m_file.handle());
}

void InstallationJournal::close()
{
    if (m_file.isOpen())
        m_file.close();
}

} // namespace Updater
