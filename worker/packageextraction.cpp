#include "worker/packageextraction.h"

#include "common/failure.h"
#include "platform/entrywriter.h"
#include "worker/packageentrynames.h"

#ifdef Q_OS_WIN
#include "platform/longpath.h"
#endif

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>
#include <QVector>

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <memory>

namespace Updater {

namespace {

// Deflate packs at most 1032 bytes into one; no honest zip claims more than this per byte of it.
constexpr qint64 maxExpansion = 1100;
constexpr int maxEntries = 100000;
// The unit in which files take room on a disk; a file of one byte takes a whole one.
constexpr qint64 diskBlock = 4096;
// Large reads keep the number of system calls down on packages of many megabytes.
constexpr size_t readBlockSize = 1 << 20;

struct ReaderDeleter
{
    void operator()(archive *reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;

bool failExtraction(QString *error, const QString &reason)
{
    return fail(error, QStringLiteral("Failed to extract package: %1").arg(reason));
}

// libarchive's message, with the system's reason when there is one ("Write failed" alone would
// not say that the disk is full).
QString libraryReason(archive *reader)
{
    QString reason = QString::fromUtf8(archive_error_string(reader)).trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("unknown error");
    if (archive_errno(reader) > 0) {
        const QString system = qt_error_string(archive_errno(reader));
        if (!reason.contains(system))
            reason += QStringLiteral(": ") + system;
    }
    return reason;
}

Reader openPackage(const QString &packagePath, QString *error)
{
    Reader reader(archive_read_new());
    // The seekable reader takes the entries from the central directory, as every zip tool does;
    // the names checked are the names unpacked.
    archive_read_support_format_zip_seekable(reader.get());
#ifdef Q_OS_WIN
    const int opened = archive_read_open_filename_w(
        reader.get(), Platform::longPath(packagePath).c_str(), readBlockSize);
#else
    const int opened = archive_read_open_filename(
        reader.get(), QFile::encodeName(packagePath).constData(), readBlockSize);
#endif
    if (opened != ARCHIVE_OK) {
        failExtraction(error, libraryReason(reader.get()));
        return nullptr;
    }
    return reader;
}

QString entryName(archive_entry *entry)
{
#ifdef Q_OS_WIN
    // libarchive keeps names as UTF-16 on Windows; its narrow form would be the ANSI code page.
    if (const wchar_t *wide = archive_entry_pathname_w(entry))
        return QString::fromWCharArray(wide);
#else
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char *local = archive_entry_pathname(entry))
        return QFile::decodeName(local);
#endif
    return QString();
}

PackageEntryNames::Kind entryKind(archive_entry *entry)
{
    if (archive_entry_hardlink(entry))
        return PackageEntryNames::Kind::Other;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
        return PackageEntryNames::Kind::File;
    case AE_IFDIR:
        return PackageEntryNames::Kind::Directory;
    default:
        return PackageEntryNames::Kind::Other;
    }
}

QString megabytes(qint64 bytes)
{
    return QString::number((bytes + (1 << 20) - 1) >> 20);
}

class PackageExtraction
{
public:
    PackageExtraction(const QString &packagePath, const QString &destinationDir)
        : m_packagePath(packagePath)
        , m_destinationDir(destinationDir)
    {
    }

    bool check(QString *error, bool *needsMoreRoom);
    bool unpack(QString *error);

private:
    struct CheckedEntry
    {
        QString name;
        qint64 size;
    };

    bool makeDirectories(const QStringList &segments, qsizetype count, QString *error);
    bool unpackFile(archive *reader, archive_entry *entry, const CheckedEntry &checked,
                    const QString &relative, QString *error);

    QString m_packagePath;
    QString m_destinationDir;
    QVector<CheckedEntry> m_entries;
    QSet<QString> m_madeDirectories; // relative paths
};

bool PackageExtraction::check(QString *error, bool *needsMoreRoom)
{
    Reader reader = openPackage(m_packagePath, error);
    if (!reader)
        return false;
    const qint64 claimLimit = maxExpansion * QFileInfo(m_packagePath).size();
    PackageEntryNames names;
    qint64 claimed = 0;
    qint64 needed = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF)
            break;
        if (next < ARCHIVE_WARN)
            return failExtraction(error, libraryReason(reader.get()));
        if (m_entries.size() >= maxEntries)
            return failExtraction(error,
                                  QStringLiteral("it holds more than %1 entries.").arg(maxEntries));

        const QString name = entryName(entry);
        const PackageEntryNames::Kind kind = entryKind(entry);
        if (!names.add(name, kind, nullptr, error))
            return false;
        qint64 size = 0;
        if (kind == PackageEntryNames::Kind::File) {
            if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) < 0)
                return failExtraction(error,
                                      QStringLiteral("the size of %1 is not recorded.").arg(name));
            size = archive_entry_size(entry);
        }
        // Compared one by one, so that the sum cannot overflow.
        if (size > claimLimit - claimed)
            return failExtraction(error,
                                  QStringLiteral("its entries claim more than %1 times its own "
                                                 "size, which no honest package does.")
                                      .arg(maxExpansion));
        claimed += size;
        needed += kind == PackageEntryNames::Kind::Directory
                      ? diskBlock
                      : (size + diskBlock - 1) / diskBlock * diskBlock;
        m_entries.append({name, size});
    }

    const QStorageInfo volume(m_destinationDir);
    if (volume.isValid() && volume.bytesAvailable() >= 0 && needed > volume.bytesAvailable()) {
        if (needsMoreRoom)
            *needsMoreRoom = true;
        return failExtraction(error,
                              QStringLiteral("it needs %1 MB of free disk space, and %2 MB "
                                             "are free.")
                                  .arg(megabytes(needed), megabytes(volume.bytesAvailable())));
    }
    return true;
}

bool PackageExtraction::makeDirectories(const QStringList &segments, qsizetype count,
                                        QString *error)
{
    QString relative;
    for (qsizetype level = 0; level < count; ++level) {
        if (level > 0)
            relative += QLatin1Char('/');
        relative += segments.at(level);
        if (m_madeDirectories.contains(relative))
            continue;
        QString reason;
        if (!Platform::EntryWriter::makeDirectory(m_destinationDir + QLatin1Char('/') + relative,
                                                  &reason))
            return failExtraction(error,
                                  QStringLiteral("cannot create %1: %2").arg(relative, reason));
        m_madeDirectories.insert(relative);
    }
    return true;
}

bool PackageExtraction::unpackFile(archive *reader, archive_entry *entry,
                                   const CheckedEntry &checked, const QString &relative,
                                   QString *error)
{
    const auto cannotWrite = [&](const QString &reason) {
        return failExtraction(error, QStringLiteral("cannot write %1: %2").arg(relative, reason));
    };
    Platform::EntryWriter writer;
    QString reason;
    if (!writer.createFile(m_destinationDir + QLatin1Char('/') + relative,
                           (archive_entry_perm(entry) & 0111) != 0, &reason))
        return cannotWrite(reason);

    qint64 written = 0;
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            break;
        // Anything short of ARCHIVE_OK fails the entry: a damaged entry must not pass for an
        // unpacked one.
        if (status != ARCHIVE_OK)
            return failExtraction(
                error,
                QStringLiteral("cannot read %1: %2").arg(checked.name, libraryReason(reader)));
        // Zip entries have no holes; the data comes in order or the package is damaged.
        if (offset != written || qint64(size) > checked.size - written)
            return failExtraction(error, QStringLiteral("%1 holds more than the %2 bytes its "
                                                        "header gives.")
                                             .arg(checked.name)
                                             .arg(checked.size));
        if (!writer.write(static_cast<const char *>(block), qint64(size), &reason))
            return cannotWrite(reason);
        written += qint64(size);
    }
    if (written != checked.size)
        return failExtraction(error, QStringLiteral("%1 holds %2 bytes, and its header gives %3.")
                                         .arg(checked.name)
                                         .arg(written)
                                         .arg(checked.size));
    if (!writer.closeFile(archive_entry_mtime(entry), &reason))
        return cannotWrite(reason);
    return true;
}

bool PackageExtraction::unpack(QString *error)
{
    Reader reader = openPackage(m_packagePath, error);
    if (!reader)
        return false;
    // The names again, for the places they give; they were all allowed above.
    PackageEntryNames names;
    const auto changed = [&] {
        return failExtraction(error, QStringLiteral("the package changed while it was unpacked."));
    };
    for (const CheckedEntry &checked : std::as_const(m_entries)) {
        archive_entry *entry = nullptr;
        const int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF)
            return changed();
        if (next < ARCHIVE_WARN)
            return failExtraction(error, libraryReason(reader.get()));
        const PackageEntryNames::Kind kind = entryKind(entry);
        QStringList segments;
        if (entryName(entry) != checked.name || !names.add(checked.name, kind, &segments, error)
            || (kind == PackageEntryNames::Kind::File && archive_entry_size(entry) != checked.size))
            return changed();

        if (kind == PackageEntryNames::Kind::Directory) {
            if (!makeDirectories(segments, segments.size(), error))
                return false;
            continue;
        }
        if (!makeDirectories(segments, segments.size() - 1, error)
            || !unpackFile(reader.get(), entry, checked, segments.join(QLatin1Char('/')), error))
            return false;
    }
    archive_entry *entry = nullptr;
    if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_EOF)
        return changed();
    return true;
}

} // namespace

bool extractPackageFile(const QString &packagePath, const QString &destinationDir, QString *error,
                        bool *needsMoreRoom)
{
    if (needsMoreRoom)
        *needsMoreRoom = false;
    PackageExtraction extraction(packagePath, destinationDir);
    return extraction.check(error, needsMoreRoom) && extraction.unpack(error);
}

} // namespace Updater
