// Expand-Archive for the Windows build of the stand-in (run under Wine, where there is no
// PowerShell): reads the zip's central directory itself and inflates with zlib, since libarchive
// does not build for mingw here. Like Expand-Archive on Windows it writes a link entry as a plain
// file holding the link's target, so only the entry names can lead out of the destination.
#include "expandarchive.h"

#include "entrypath.h"

#include <zlib.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <memory>
#include <vector>

namespace PowerShellStandIn {

namespace {

constexpr std::uint32_t endOfDirectorySignature = 0x06054b50;
constexpr std::uint32_t directoryEntrySignature = 0x02014b50;
constexpr std::uint32_t localHeaderSignature = 0x04034b50;
constexpr std::size_t endOfDirectorySize = 22;
constexpr std::size_t directoryEntrySize = 46;
constexpr std::size_t localHeaderSize = 30;
constexpr std::size_t maxCommentSize = 0xFFFF;
constexpr std::size_t chunkSize = 1 << 18;
constexpr std::uint16_t encryptedFlag = 1u << 0;
constexpr std::uint16_t utf8NamesFlag = 1u << 11;

std::uint16_t u16(const unsigned char *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t u32(const unsigned char *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
           | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::wstring widen(const std::string &text, UINT codePage = CP_UTF8)
{
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

struct FileCloser
{
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

struct Entry
{
    std::string name; // as stored: UTF-8 or code page 437
    bool utf8 = false;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t size = 0;
    std::uint32_t localHeaderOffset = 0;
};

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
    bool readAt(std::int64_t offset, unsigned char *buffer, std::size_t size)
    {
        return _fseeki64(m_archive.get(), offset, SEEK_SET) == 0
               && std::fread(buffer, 1, size, m_archive.get()) == size;
    }
    bool readDirectory(std::vector<Entry> *entries, std::string *error);
    bool extractEntry(const Entry &entry, std::string *error);
    bool writeData(const Entry &entry, std::int64_t dataOffset, std::FILE *out, std::string *error);

    std::string m_archivePath;
    std::string m_destinationPath;
    FilePointer m_archive;
    std::int64_t m_archiveSize = 0;
};

bool Extraction::readDirectory(std::vector<Entry> *entries, std::string *error)
{
    const std::string damaged = "The archive '" + m_archivePath + "' is damaged: ";
    // The end record is the last 22 bytes, or earlier by the length of an archive comment.
    const std::size_t tailSize =
        std::size_t(std::min<std::int64_t>(m_archiveSize, endOfDirectorySize + maxCommentSize));
    std::vector<unsigned char> tail(tailSize);
    if (tailSize < endOfDirectorySize
        || !readAt(m_archiveSize - std::int64_t(tailSize), tail.data(), tailSize))
        return fail(error, "The file '" + m_archivePath + "' is not a valid zip archive.");
    std::size_t end = tailSize - endOfDirectorySize + 1;
    do {
        --end;
    } while (end > 0 && u32(&tail[end]) != endOfDirectorySignature);
    if (u32(&tail[end]) != endOfDirectorySignature)
        return fail(error, "The file '" + m_archivePath + "' is not a valid zip archive.");

    const std::uint16_t count = u16(&tail[end + 10]);
    const std::uint32_t directorySize = u32(&tail[end + 12]);
    const std::uint32_t directoryOffset = u32(&tail[end + 16]);
    if (count == 0xFFFF || directoryOffset == 0xFFFFFFFF)
        return fail(error, "The archive '" + m_archivePath
                               + "' is a ZIP64 archive, which is not supported here.");
    std::vector<unsigned char> directory(directorySize);
    if (std::int64_t(directoryOffset) + directorySize > m_archiveSize
        || !readAt(directoryOffset, directory.data(), directory.size()))
        return fail(error, damaged + "the central directory lies outside the file.");

    std::size_t at = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        if (at + directoryEntrySize > directory.size()
            || u32(&directory[at]) != directoryEntrySignature)
            return fail(error, damaged + "a central directory entry is cut short.");
        const unsigned char *record = &directory[at];
        const std::size_t nameLength = u16(record + 28);
        const std::size_t recordSize =
            directoryEntrySize + nameLength + u16(record + 30) + u16(record + 32);
        if (at + recordSize > directory.size())
            return fail(error, damaged + "a central directory entry is cut short.");
        Entry entry;
        entry.flags = u16(record + 8);
        entry.utf8 = (entry.flags & utf8NamesFlag) != 0;
        entry.method = u16(record + 10);
        entry.crc = u32(record + 16);
        entry.compressedSize = u32(record + 20);
        entry.size = u32(record + 24);
        entry.localHeaderOffset = u32(record + 42);
        entry.name.assign(reinterpret_cast<const char *>(record + directoryEntrySize), nameLength);
        entries->push_back(std::move(entry));
        at += recordSize;
    }
    return true;
}

bool Extraction::writeData(const Entry &entry, std::int64_t dataOffset, std::FILE *out,
                           std::string *error)
{
    const std::string cannotRead = "Cannot read '" + entry.name + "' from the archive: ";
    if (_fseeki64(m_archive.get(), dataOffset, SEEK_SET) != 0)
        return fail(error, cannotRead + "seek failed.");
    std::vector<unsigned char> in(chunkSize);
    std::vector<unsigned char> outBuffer(chunkSize);
    std::uint32_t remaining = entry.compressedSize;
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t written = 0;
    const auto put = [&](const unsigned char *data, std::size_t size) {
        crc = crc32(crc, data, uInt(size));
        written += size;
        return size == 0 || std::fwrite(data, 1, size, out) == size;
    };
    const std::string cannotWrite = "Cannot write '" + entry.name + "': ";

    if (entry.method == 0) {
        while (remaining > 0) {
            const std::size_t part = std::min<std::size_t>(remaining, chunkSize);
            if (std::fread(in.data(), 1, part, m_archive.get()) != part)
                return fail(error, cannotRead + "the data is cut short.");
            if (!put(in.data(), part))
                return fail(error, cannotWrite + std::strerror(errno));
            remaining -= std::uint32_t(part);
        }
    } else {
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return fail(error, cannotRead + "zlib cannot start.");
        for (;;) {
            // Input is added only once zlib has used up what it had: a full output buffer can
            // leave output pending after the last input.
            if (stream.avail_in == 0 && remaining > 0) {
                const std::size_t part = std::min<std::size_t>(remaining, chunkSize);
                if (std::fread(in.data(), 1, part, m_archive.get()) != part) {
                    inflateEnd(&stream);
                    return fail(error, cannotRead + "the data is cut short.");
                }
                remaining -= std::uint32_t(part);
                stream.next_in = in.data();
                stream.avail_in = uInt(part);
            }
            stream.next_out = outBuffer.data();
            stream.avail_out = uInt(outBuffer.size());
            // Z_BUF_ERROR: no progress with a fresh output buffer, so the input has run out.
            const int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END) {
                inflateEnd(&stream);
                return fail(error,
                            cannotRead
                                + (status == Z_BUF_ERROR ? "the data is cut short."
                                                         : "the compressed data is damaged."));
            }
            if (!put(outBuffer.data(), outBuffer.size() - stream.avail_out)) {
                inflateEnd(&stream);
                return fail(error, cannotWrite + std::strerror(errno));
            }
            if (status == Z_STREAM_END)
                break;
        }
        inflateEnd(&stream);
    }
    if (written != entry.size || crc != entry.crc)
        return fail(error, cannotRead + "the data does not match its checksum.");
    return true;
}

bool Extraction::extractEntry(const Entry &entry, std::string *error)
{
    Components place;
    if (!placeInside(entry.name, &place))
        return fail(error, "The archive entry '" + entry.name
                               + "' would be extracted outside the destination '"
                               + m_destinationPath + "'.");
    if (place.empty())
        return true; // the destination itself ("./")

    std::wstring path = widen(m_destinationPath);
    for (std::size_t i = 0; i < place.size(); ++i) {
        const bool last = i + 1 == place.size();
        path += L'\\';
        path += widen(place[i], entry.utf8 ? CP_UTF8 : 437);
        const bool isDirectory = !last || entry.name.back() == '/' || entry.name.back() == '\\';
        if (isDirectory && _wmkdir(path.c_str()) != 0 && errno != EEXIST)
            return fail(error,
                        "Cannot create '" + join(place, i + 1) + "': " + std::strerror(errno));
    }
    if (entry.name.back() == '/' || entry.name.back() == '\\')
        return true;

    if (entry.flags & encryptedFlag)
        return fail(error, "The archive entry '" + entry.name + "' is encrypted.");
    if (entry.method != 0 && entry.method != Z_DEFLATED)
        return fail(error, "The archive entry '" + entry.name
                               + "' uses an unsupported compression method.");
    unsigned char header[localHeaderSize];
    if (!readAt(entry.localHeaderOffset, header, sizeof header)
        || u32(header) != localHeaderSignature)
        return fail(error, "The archive '" + m_archivePath + "' is damaged: no local header for '"
                               + entry.name + "'.");
    const std::int64_t dataOffset = std::int64_t(entry.localHeaderOffset)
                                    + std::int64_t(localHeaderSize) + u16(header + 26)
                                    + u16(header + 28);

    // -Force: an existing file is replaced.
    FilePointer out(_wfopen(path.c_str(), L"wb"));
    if (!out)
        return fail(error, "Cannot write '" + entry.name + "': " + std::strerror(errno));
    if (!writeData(entry, dataOffset, out.get(), error))
        return false;
    if (std::fclose(out.release()) != 0)
        return fail(error, "Cannot write '" + entry.name + "': " + std::strerror(errno));
    return true;
}

bool Extraction::run(std::string *error)
{
    const std::wstring archive = widen(m_archivePath);
    const DWORD attributes = GetFileAttributesW(archive.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail(error, "The path '" + m_archivePath
                               + "' either does not exist or is not a valid file system path.");
    m_archive.reset(_wfopen(archive.c_str(), L"rb"));
    if (!m_archive || _fseeki64(m_archive.get(), 0, SEEK_END) != 0
        || (m_archiveSize = _ftelli64(m_archive.get())) < 0)
        return fail(error, "Cannot read '" + m_archivePath + "': " + std::strerror(errno));

    std::vector<Entry> entries;
    if (!readDirectory(&entries, error))
        return false;

    // Created like Expand-Archive does, each missing level in turn.
    const std::wstring destination = widen(m_destinationPath);
    for (std::size_t end = 1; end <= destination.size(); ++end) {
        if (end < destination.size() && destination[end] != L'/' && destination[end] != L'\\')
            continue;
        _wmkdir(destination.substr(0, end).c_str());
    }
    const DWORD destinationAttributes = GetFileAttributesW(destination.c_str());
    if (destinationAttributes == INVALID_FILE_ATTRIBUTES
        || !(destinationAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail(error, "Cannot create the destination '" + m_destinationPath + "'.");

    for (const Entry &entry : entries) {
        if (!extractEntry(entry, error))
            return false;
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
