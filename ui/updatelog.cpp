#include "ui/updatelog.h"

#include "common/productnames.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

namespace Updater {

namespace {

#ifdef Q_OS_WIN
// Notepad before Windows 10 shows a file of bare LFs as one line.
const QByteArray newline = "\r\n";
#else
const QByteArray newline = "\n";
#endif
const QByteArray runMarker = "==== ";

QByteArray timestamp()
{
    // With its offset, so that support can set the log beside the user's report of the time.
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8();
}

} // namespace

UpdateLog::UpdateLog(qint64 maxFileBytes)
    : maxBytes(maxFileBytes)
{
}

void UpdateLog::start(const QString &path)
{
    filePath = path;
    const QByteArray header = runMarker + timestamp() + ' ' + updaterTitle().toUtf8() + " (pid "
                              + QByteArray::number(QCoreApplication::applicationPid()) + ')'
                              + newline;
    write(header + pending, true);
    pending.clear();
}

void UpdateLog::append(const QString &text)
{
    const QByteArray time = timestamp();
    QByteArray lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += time + ' ' + line.toUtf8() + newline;
    if (filePath.isEmpty())
        pending += lines;
    else
        write(lines, false);
}

void UpdateLog::write(const QByteArray &lines, bool newRun)
{
    if (!makeRoom(lines.size(), newRun))
        return;
    QFile file(filePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(lines);
}

bool UpdateLog::makeRoom(qint64 adding, bool newRun)
{
    if (QFileInfo(filePath).size() + adding <= maxBytes)
        return true;
    QFile file(filePath);
    if (adding > maxBytes || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    file.close();
    // Where the file may be cut, oldest run first: whatever precedes the first run goes first,
    // and a new run may drop every run before it.
    QList<qsizetype> cuts;
    if (content.startsWith(runMarker))
        cuts << 0;
    for (qsizetype at = content.indexOf(newline + runMarker); at >= 0;
         at = content.indexOf(newline + runMarker, at + 1))
        cuts << at + newline.size();
    if (newRun)
        cuts << content.size();
    for (const qsizetype cut : std::as_const(cuts)) {
        if (content.size() - cut + adding > maxBytes)
            continue;
        QSaveFile trimmed(filePath);
        return trimmed.open(QIODevice::WriteOnly) && trimmed.write(content.mid(cut)) >= 0
               && trimmed.commit();
    }
    return false;
}

} // namespace Updater
