#include "tools/release/ziparchive.h"

#include "common/failure.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace Updater::Release {

namespace {

QString archiveError(struct archive *archive)
{
    const char *text = archive_error_string(archive);
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown libarchive error");
}

struct ArchiveWriterDeleter
{
    void operator()(struct archive *archive) const { archive_write_free(archive); }
};
struct ArchiveReaderDeleter
{
    void operator()(struct archive *archive) const { archive_read_free(archive); }
};
struct EntryDeleter
{
    void operator()(struct archive_entry *entry) const { archive_entry_free(entry); }
};

struct WriteTarget
{
    QIODevice *device;
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

la_ssize_t writeToDevice(struct archive *archive, void *clientData, const void *buffer,
                         size_t length)
{
    auto *target = static_cast<WriteTarget *>(clientData);
    const char *bytes = static_cast<const char *>(buffer);
    const qint64 written = target->device->write(bytes, static_cast<qint64>(length));
    if (written != static_cast<qint64>(length)) {
        archive_set_error(archive, EIO, "%s",
                          target->device->errorString().toLocal8Bit().constData());
        return -1;
    }
    target->hash.addData(QByteArrayView(bytes, static_cast<qsizetype>(length)));
    return static_cast<la_ssize_t>(length);
}

bool writeFileData(struct archive *archive, const PayloadEntry &entry, QString *error)
{
    QFile file(entry.sourcePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error,
                    QStringLiteral("Cannot read %1: %2").arg(entry.sourcePath, file.errorString()));

    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 count = file.read(buffer.data(), buffer.size());
        if (count < 0)
            return fail(
                error,
                QStringLiteral("Cannot read %1: %2").arg(entry.sourcePath, file.errorString()));
        if (count == 0)
            break;
        total += count;
        // The header already promised entry.size bytes; more would make a corrupt entry.
        if (total > entry.size)
            break;
        if (archive_write_data(archive, buffer.constData(), static_cast<size_t>(count)) != count)
            return fail(error,
                        QStringLiteral("Cannot write the package: %1").arg(archiveError(archive)));
    }
    if (total != entry.size)
        return fail(error,
                    QStringLiteral("%1 changed while it was being packed.").arg(entry.sourcePath));
    return true;
}

unsigned int fileType(PayloadEntry::Kind kind)
{
    switch (kind) {
    case PayloadEntry::Kind::Directory:
        return AE_IFDIR;
    case PayloadEntry::Kind::SymLink:
        return AE_IFLNK;
    case PayloadEntry::Kind::File:
        break;
    }
    return AE_IFREG;
}

} // namespace

bool writeZipArchive(const QList<PayloadEntry> &entries, QIODevice *device,
                     QByteArray *writtenSha256, QString *error)
{
    if (error)
        error->clear();

    std::unique_ptr<struct archive, ArchiveWriterDeleter> archive(archive_write_new());
    if (!archive)
        return fail(error, QStringLiteral("Cannot start the package writer."));
    // No blocking: a zip padded to a block size has zeros after its end record, which some
    // readers refuse.
    if (archive_write_set_format_zip(archive.get()) != ARCHIVE_OK
        || archive_write_set_bytes_per_block(archive.get(), 0) != ARCHIVE_OK
        || archive_write_set_options(archive.get(), "zip:compression=deflate,zip:hdrcharset=UTF-8")
               != ARCHIVE_OK)
        return fail(
            error,
            QStringLiteral("Cannot set up the zip writer: %1").arg(archiveError(archive.get())));

    WriteTarget target{device};
    if (archive_write_open(archive.get(), &target, nullptr, writeToDevice, nullptr) != ARCHIVE_OK)
        return fail(
            error, QStringLiteral("Cannot write the package: %1").arg(archiveError(archive.get())));

    for (const PayloadEntry &payloadEntry : entries) {
        std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
        const QByteArray path = payloadEntry.archivePath.toUtf8();
        archive_entry_set_pathname_utf8(entry.get(), path.constData());
        archive_entry_set_filetype(entry.get(), fileType(payloadEntry.kind));
        archive_entry_set_perm(entry.get(), static_cast<mode_t>(payloadEntry.permissions));
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_mtime(entry.get(), static_cast<time_t>(packageEntryTime), 0);
        if (payloadEntry.kind == PayloadEntry::Kind::SymLink)
            archive_entry_set_symlink_utf8(entry.get(),
                                           payloadEntry.linkTarget.toUtf8().constData());
        archive_entry_set_size(
            entry.get(), payloadEntry.kind == PayloadEntry::Kind::File ? payloadEntry.size : 0);

        if (archive_write_header(archive.get(), entry.get()) != ARCHIVE_OK)
            return fail(error, QStringLiteral("Cannot add %1 to the package: %2")
                                   .arg(payloadEntry.archivePath, archiveError(archive.get())));
        if (payloadEntry.kind == PayloadEntry::Kind::File
            && !writeFileData(archive.get(), payloadEntry, error))
            return false;
        if (archive_write_finish_entry(archive.get()) != ARCHIVE_OK)
            return fail(error, QStringLiteral("Cannot add %1 to the package: %2")
                                   .arg(payloadEntry.archivePath, archiveError(archive.get())));
    }
    if (archive_write_close(archive.get()) != ARCHIVE_OK)
        return fail(
            error,
            QStringLiteral("Cannot finish the package: %1").arg(archiveError(archive.get())));

    if (writtenSha256)
        *writtenSha256 = target.hash.result().toHex();
    return true;
}

bool readZipArchive(const QString &zipPath, QList<PayloadEntry> *entries, QString *error,
                    const QString &unpackDir)
{
    if (error)
        error->clear();

    std::unique_ptr<struct archive, ArchiveReaderDeleter> archive(archive_read_new());
    if (!archive)
        return fail(error, QStringLiteral("Cannot start the package reader."));
    archive_read_support_format_zip(archive.get());
    if (archive_read_set_options(archive.get(), "zip:hdrcharset=UTF-8") != ARCHIVE_OK
        || archive_read_open_filename(archive.get(), QFile::encodeName(zipPath).constData(),
                                      64 * 1024)
               != ARCHIVE_OK)
        return fail(error, QStringLiteral("Cannot open %1 as a zip archive: %2")
                               .arg(zipPath, archiveError(archive.get())));

    QList<PayloadEntry> found;
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        struct archive_entry *entry = nullptr;
        const int status = archive_read_next_header(archive.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK)
            return fail(
                error,
                QStringLiteral("Cannot read %1: %2").arg(zipPath, archiveError(archive.get())));

        PayloadEntry listed;
        const char *path = archive_entry_pathname_utf8(entry);
        listed.archivePath = QString::fromUtf8(path ? path : "");
        listed.permissions = archive_entry_perm(entry) & 07777;
        const mode_t type = archive_entry_filetype(entry);
        if (type == AE_IFDIR)
            listed.kind = PayloadEntry::Kind::Directory;
        else if (type == AE_IFLNK)
            listed.kind = PayloadEntry::Kind::SymLink;
        if (const char *link = archive_entry_symlink_utf8(entry))
            listed.linkTarget = QString::fromUtf8(link);

        QFile unpacked;
        if (!unpackDir.isEmpty() && listed.kind != PayloadEntry::Kind::SymLink) {
            const QString name = QDir::cleanPath(listed.archivePath);
            if (name.isEmpty() || QDir::isAbsolutePath(name) || name == QLatin1String("..")
                || name.startsWith(QLatin1String("../")))
                return fail(error, QStringLiteral("The package entry %1 leads out of the package.")
                                       .arg(listed.archivePath));
            const QString target = unpackDir + QLatin1Char('/') + name;
            const bool isFile = listed.kind == PayloadEntry::Kind::File;
            unpacked.setFileName(target);
            if (!QDir().mkpath(isFile ? QFileInfo(target).path() : target)
                || (isFile && !unpacked.open(QIODevice::WriteOnly | QIODevice::NewOnly)))
                return fail(error, QStringLiteral("Cannot unpack %1 into %2: %3")
                                       .arg(listed.archivePath, unpackDir, unpacked.errorString()));
        }

        // Reading the data is what makes libarchive compare each entry with its checksum.
        for (;;) {
            const la_ssize_t count =
                archive_read_data(archive.get(), buffer.data(), static_cast<size_t>(buffer.size()));
            if (count < 0)
                return fail(error, QStringLiteral("The package entry %1 is damaged: %2")
                                       .arg(listed.archivePath, archiveError(archive.get())));
            if (count == 0)
                break;
            listed.size += count;
            if (unpacked.isOpen() && unpacked.write(buffer.constData(), count) != count)
                return fail(error, QStringLiteral("Cannot unpack %1: %2")
                                       .arg(unpacked.fileName(), unpacked.errorString()));
        }
        found.append(listed);
    }
    *entries = found;
    return true;
}

} // namespace Updater::Release
