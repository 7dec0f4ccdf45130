#pragma once

#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Updater {

// The journal of an in-place installation, kept in its backup directory: one line per step,
// written and synced to disk before the step is taken, so that a run killed at any point, or a
// power loss, finds every step it took.
//
//   orvalink-in-place 2   the first line
//   aside <path>          the installation's entry moves to the same path below the backup's
//                         entries/
//   open <path>           that entry is a directory that could not be moved: it stays, and its
//                         entries are set aside one by one, each with a line of its own
//   keep <path>           a copy of the installation's file is made there; the file itself stays
//                         until the payload's replaces it (swap)
//   writing               everything is aside; the payload is being written
//   new <path>            the payload writes this entry (into it, when it stayed open)
//   swap <path>           the payload's file, written beside it under its partial-copy name,
//                         replaces the installation's in one rename
//   committed             the new tree stands complete
//   rolled back           everything set aside is back; what the backup still holds are copies
//
// Paths are relative to the installation, '/'-separated, percent-encoded.
//
// Earlier builds kept ".orvalink-in-place-journal" at the top of ".orvalink-backup", with the
// entries beside it, wrote no first line, noted "writes <path>" for every top-level entry the
// payload was going to write before setting it aside, and synced only "committed". Such a journal
// is read too, its "writes" taken as "new".
class InstallationJournal
{
public:
    enum class Format { Current, EarlierBuild };

    struct Steps
    {
        // False when the file is missing or cannot be read, or a line does not make sense there:
        // then none of the rest may be trusted.
        bool readable = false;
        QStringList asides;
        QSet<QString> open;
        QStringList keeps;
        QStringList written;
        bool writing = false;
        bool committed = false;
        bool rolledBack = false;
    };

    // Reads a journal. CRLF line ends are taken as LF, and a last line without its line end (a
    // write cut short) is dropped: its step was never taken.
    static Steps read(const QString &file, Format format);

    // Starts a new journal at file (replacing any), its first line and the directory entry
    // synced. False when that fails.
    bool create(const QString &file);
    // Opens an existing journal to add lines.
    bool reopen(const QString &file);
    // Appends one line and syncs it to disk before returning. False when that fails.
    bool note(const QString &step, const QString &path = QString());
    // Closes the file: on Windows an open file can be neither deleted nor renamed, nor can the
    // directory that holds it.
    void close();

private:
    QFile m_file;
};

} // namespace Updater
