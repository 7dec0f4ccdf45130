#pragma once

#include <QByteArray>
#include <QString>

namespace Updater {

// The window's log kept in a file beside the installation, so that support can read why an
// update failed after the window was closed: every line with its time, each run after the ones
// before it under a line "==== <time> <title> (pid N)", the oldest runs dropped to keep the file
// within maxBytes (a line that would not fit even then is left out). UTF-8; CRLF on Windows.
// Lines appended before start() wait for it; a file that cannot be written is let be, the window
// still shows every line. GUI thread.
class UpdateLog
{
public:
    explicit UpdateLog(qint64 maxBytes = 1024 * 1024);

    // Begins this run's part of the file at path with the lines appended so far. Only once the
    // installation's lock is held: no other updater writes the file meanwhile.
    void start(const QString &path);
    // One line of the window's log; several when text holds line breaks.
    void append(const QString &text);

private:
    // newRun: lines begins a run, which may drop every run before it.
    void write(const QByteArray &lines, bool newRun);
    // Drops the oldest runs until `adding` more bytes fit; false when they do not fit even so.
    bool makeRoom(qint64 adding, bool newRun);

    qint64 maxBytes;
    QString filePath;
    QByteArray pending;
};

} // namespace Updater
