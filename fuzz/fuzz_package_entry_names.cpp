// The names of a package's entries as the extraction checks them, one entry per line: the first
// byte of a line gives its kind (its low two bits: file, directory, other), the rest its UTF-8
// name. Besides not crashing, every place that is allowed must lie below the unpacking directory
// in segments Windows can hold, and no two allowed entries may land in one file.
#include "worker/packageentrynames.h"

#include <QSet>

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool isPlainSegment(const QString &segment)
{
    if (segment.isEmpty() || segment.endsWith(QLatin1Char('.'))
        || segment.endsWith(QLatin1Char(' ')))
        return false;
    for (const QChar c : segment) {
        if (c.category() == QChar::Other_Control || QStringLiteral("/\\:<>\"|?*").contains(c))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using Kind = Updater::PackageEntryNames::Kind;
    Updater::PackageEntryNames names;
    QSet<QString> files;
    QSet<QString> directories;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &line : input.split('\n')) {
        if (line.isEmpty())
            continue;
        const Kind kind = std::array<Kind, 4>{Kind::File, Kind::Directory, Kind::Other,
                                              Kind::File}[std::uint8_t(line.at(0)) & 3];
        const QString name = QString::fromUtf8(line.mid(1));
        QStringList segments;
        QString error;
        if (!names.add(name, kind, &segments, &error)) {
            require(error.startsWith(QStringLiteral("Package entry is not allowed: ")));
            continue;
        }
        require(kind != Kind::Other && !segments.isEmpty());
        QString folded;
        for (const QString &segment : std::as_const(segments)) {
            require(isPlainSegment(segment));
            if (!folded.isEmpty()) {
                // Every folder on the way is a folder, never a file allowed before.
                require(!files.contains(folded));
                directories.insert(folded);
                folded += QLatin1Char('/');
            }
            folded += segment.toCaseFolded();
        }
        if (kind == Kind::File) {
            require(!files.contains(folded) && !directories.contains(folded));
            files.insert(folded);
        } else {
            require(!files.contains(folded));
            directories.insert(folded);
        }
    }
    return 0;
}
