#pragma once

#include <QString>
#include <QtGlobal>

namespace Updater::Platform {

// Writes new entries into a directory tree, straight through the system's file calls: nothing
// that is already there is opened, followed or replaced, and on Windows every path goes through
// the \\?\ form, so that paths beyond MAX_PATH work as well. Errors are the system's reason alone
// (the caller names the entry). One file at a time; any thread, one object per thread.
class EntryWriter
{
public:
    EntryWriter() = default;
    ~EntryWriter(); // closes a file that is still open, leaving it as written so far
    EntryWriter(const EntryWriter &) = delete;
    EntryWriter &operator=(const EntryWriter &) = delete;

    // Creates the directory path, whose parent exists. False when anything is there already.
    static bool makeDirectory(const QString &path, QString *error);

    // Creates the file path, which must not exist, for writing. executable gives it the
    // executable bits that the process's umask lets through (ignored on Windows).
    bool createFile(const QString &path, bool executable, QString *error);
    bool write(const char *data, qint64 size, QString *error);
    // Sets the file's modification time (seconds since 1970, UTC) and closes it.
    bool closeFile(qint64 modifiedSecs, QString *error);

private:
    qintptr m_file = -1; // a file descriptor, or a Windows HANDLE
};

} // namespace Updater::Platform
