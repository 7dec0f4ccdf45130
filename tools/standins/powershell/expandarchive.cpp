#include "expandarchive.h"

#include "entrypath.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace PowerShellStandIn {

namespace {

// Large reads keep the number of system calls down on packages of many megabytes.
constexpr std::size_t readBlockSize = 1 << 20;
constexpr int maxLinkHops = 40;

struct ReaderCloser
{
    void operator()(archive *a) const { archive_read_free(a); }
};
struct WriterCloser
{
    void operator()(archive *a) const { archive_write_free(a); }
};

bool isLinkOnDisk(const std::string &path, std::string *target)
{
    struct stat status = {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return false;
    std::vector<char> buffer(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255)
                             + 1);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0)
        return false;
    target->assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

// Follows target from the directory `from` the way the system would, through the links that now
// exist below the working directory (the destination). False when it leaves the destination.
bool staysInside(Components from, const std::string &target)
{
    if (target.empty() || isAbsoluteName(target))
        return false;
    std::vector<std::string> pending;
    {
        const Components parts = split(target);
        pending.assign(parts.rbegin(), parts.rend());
    }
    int hops = 0;
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (from.empty())
                return false;
            from.pop_back();
            continue;
        }
        Components candidate = from;
        candidate.push_back(part);
        std::string linkTarget;
        if (isLinkOnDisk(join(candidate), &linkTarget)) {
            if (++hops > maxLinkHops || linkTarget.empty() || isAbsoluteName(linkTarget))
                return false;
            const Components parts = split(linkTarget);
            pending.insert(pending.end(), parts.rbegin(), parts.rend());
            continue;
        }
        from = std::move(candidate);
    }
    return true;
}

// libarchive's message, with the system's reason when there is one ("Write failed" alone would
// not say that the disk is full).
std::string libraryError(archive *a)
{
    std::string message = archive_error_string(a) ? archive_error_string(a) : "unknown error";
    const int code = archive_errno(a);
    if (code > 0) {
        const std::string reason = std::strerror(code);
        if (message.find(reason) == std::string::npos)
            message += ": " + reason;
    }
    return message;
}

const char *entryName(archive_entry *entry)
{
    const char *name = archive_entry_pathname(entry);
    return name ? name : archive_entry_pathname_utf8(entry);
}

class Extraction
{
public:
    Extraction(std::string archivePath, std::string destinationPath)
        : m_archivePath(std::move(archivePath))
        , m_destinationPath(std::move(destinationPath))
    {
    }

    bool run(std::string *error);

private:
    bool fail(std::string *error, const std::string &message)
    {
        *error = "Expand-Archive : " + message;
        return false;
    }
    bool outside(std::string *error, const std::string &name)
    {
        return fail(error, "The archive entry '" + name
                               + "' would be extracted outside the destination '"
                               + m_destinationPath + "'.");
    }
    // The entry's place inside the destination, or false when it would leave it or pass
    // through a link that this archive created.
    bool placeOf(const std::string &name, Components *place) const;
    bool extractEntry(archive *reader, archive *writer, archive_entry *entry, std::string *error);

    std::string m_archivePath;
    std::string m_destinationPath;
    std::set<std::string> m_createdLinks;
    std::vector<Components> m_createdLinkPlaces;
};

bool Extraction::placeOf(const std::string &name, Components *place) const
{
    if (!placeInside(name, place))
        return false;
    for (std::size_t depth = 1; depth < place->size(); ++depth) {
        if (m_createdLinks.count(join(*place, depth)))
            return false;
    }
    return true;
}

bool Extraction::extractEntry(archive *reader, archive *writer, archive_entry *entry,
                              std::string *error)
{
    const char *rawName = entryName(entry);
    if (!rawName)
        return fail(error, "An archive entry has a name that cannot be read.");
    const std::string name = rawName;

    Components place;
    if (!placeOf(name, &place))
        return outside(error, name);
    if (place.empty())
        return true; // the destination itself ("./")
    const std::string placePath = join(place);

    const bool isLink = archive_entry_filetype(entry) == AE_IFLNK;
    if (isLink) {
        const char *target = archive_entry_symlink(entry);
        if (!target)
            target = archive_entry_symlink_utf8(entry);
        Components linkParent(place.begin(), place.end() - 1);
        Components resolved;
        if (!target || !*target || isAbsoluteName(target)
            || !resolveLexically(linkParent, split(target), &resolved)) {
            return fail(error, "The link '" + name + "' points outside the destination '"
                                   + m_destinationPath + "'.");
        }
    }
    if (const char *hardlink = archive_entry_hardlink(entry)) {
        Components hardlinkPlace;
        if (!placeOf(hardlink, &hardlinkPlace) || hardlinkPlace.empty())
            return outside(error, hardlink);
        archive_entry_copy_hardlink(entry, join(hardlinkPlace).c_str());
    }

    archive_entry_copy_pathname(entry, placePath.c_str());
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);

    // Anything short of ARCHIVE_OK fails the entry: libarchive reports a failed write (a full
    // disk) as a mere warning, and a partly written file must not pass for an unpacked one.
    if (archive_write_header(writer, entry) != ARCHIVE_OK)
        return fail(error, "Cannot write '" + name + "': " + libraryError(writer));

    if (!isLink && archive_entry_size(entry) != 0) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int status = archive_read_data_block(reader, &block, &size, &offset);
            if (status == ARCHIVE_EOF)
                break;
            if (status != ARCHIVE_OK)
                return fail(error,
                            "Cannot read '" + name + "' from the archive: " + libraryError(reader));
            if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK)
                return fail(error, "Cannot write '" + name + "': " + libraryError(writer));
        }
    }
    if (archive_write_finish_entry(writer) != ARCHIVE_OK)
        return fail(error, "Cannot write '" + name + "': " + libraryError(writer));

    if (isLink) {
        m_createdLinks.insert(placePath);
        m_createdLinkPlaces.push_back(std::move(place));
    }
    return true;
}

bool Extraction::run(std::string *error)
{
    struct stat status = {};
    if (stat(m_archivePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return fail(error, "The path '" + m_archivePath
                               + "' either does not exist or is not a valid file system path.");

    // Made absolute first: the destination is entered below, and a relative archive path would
    // then point elsewhere.
    std::string archivePath = m_archivePath;
    if (archivePath[0] != '/') {
        std::vector<char> cwd(4096);
        if (!getcwd(cwd.data(), cwd.size()))
            return fail(error, "Cannot determine the current directory.");
        archivePath = std::string(cwd.data()) + "/" + archivePath;
    }

    std::unique_ptr<archive, ReaderCloser> reader(archive_read_new());
    archive_read_support_format_zip_seekable(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), readBlockSize) != ARCHIVE_OK)
        return fail(error, "The file '" + m_archivePath
                               + "' is not a valid zip archive: " + libraryError(reader.get()));

    // Created like Expand-Archive does, then entered so that every entry name is relative and
    // libarchive's link checks work below the destination only.
    for (std::size_t end = 1; end <= m_destinationPath.size(); ++end) {
        if (end < m_destinationPath.size() && m_destinationPath[end] != '/')
            continue;
        const std::string made = m_destinationPath.substr(0, end);
        if (mkdir(made.c_str(), 0777) != 0 && errno != EEXIST)
            return fail(error, "Cannot create the destination '" + m_destinationPath
                                   + "': " + std::strerror(errno) + ".");
    }
    if (chdir(m_destinationPath.c_str()) != 0)
        return fail(error, "Cannot enter the destination '" + m_destinationPath
                               + "': " + std::strerror(errno) + ".");

    std::unique_ptr<archive, WriterCloser> writer(archive_write_disk_new());
    // No per-entry fsync, owner or extended attributes: the package carries none worth keeping.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME
                                                     | ARCHIVE_EXTRACT_SECURE_SYMLINKS
                                                     | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                                     | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);

    for (;;) {
        archive_entry *entry = nullptr;
        const int next = archive_read_next_header(reader.get(), &entry);
        if (next == ARCHIVE_EOF)
            break;
        if (next < ARCHIVE_WARN)
            return fail(error, "The archive '" + m_archivePath
                                   + "' is damaged: " + libraryError(reader.get()));
        if (!extractEntry(reader.get(), writer.get(), entry, error))
            return false;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return fail(error, "Cannot finish the extraction: " + libraryError(writer.get()));

    // A link that looked harmless on its own may lead out through a link written after it.
    for (const Components &place : m_createdLinkPlaces) {
        std::string target;
        const std::string placePath = join(place);
        if (!isLinkOnDisk(placePath, &target))
            continue;
        if (!staysInside(Components(place.begin(), place.end() - 1), target)) {
            unlink(placePath.c_str());
            return fail(error, "The link '" + placePath + "' points outside the destination '"
                                   + m_destinationPath + "'.");
        }
    }
    return true;
}

} // namespace

bool expandArchive(const std::string &archivePath, const std::string &destinationPath,
                   std::string *error)
{
    return Extraction(archivePath, destinationPath).run(error);
}

} // namespace PowerShellStandIn
