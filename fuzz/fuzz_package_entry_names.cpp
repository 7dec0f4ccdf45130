// The names of a package's entries as the extraction checks them, one entry per line: the first
// byte of a line gives its kind (file, directory, other), the rest its UTF-8 name. Besides not
// crashing, every allowed place must be plain segments below the unpacking directory, and no two
// allowed entries may land in one file.
#include "worker/packageentrynames.h"

#include <QSet>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using Kind = Updater::PackageEntryNames::Kind;
    const auto require = [](bool condition) {
        if (!condition)
            std::abort();
    };
    Updater::PackageEntryNames names;
    QSet<QString> files;
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &line : input.split('\n')) {
        const Kind kind = line.isEmpty() ? Kind::File : Kind(std::uint8_t(line.at(0)) % 3);
        QStringList segments;
        QString error;
        if (!names.add(QString::fromUtf8(line.mid(1)), kind, &segments, &error)) {
            require(error.startsWith(QStringLiteral("Package entry is not allowed: ")));
            continue;
        }
        require(kind != Kind::Other && !segments.isEmpty());
        QString place;
        for (const QString &segment : std::as_const(segments)) {
            // No folder on the way is a file allowed before.
            require(place.isEmpty() || !files.contains(place));
            require(!segment.isEmpty() && !segment.endsWith(QLatin1Char('.'))
                    && !segment.contains(QLatin1Char('/')) && !segment.contains(QLatin1Char('\\'))
                    && !segment.contains(QLatin1Char(':')));
            place += (place.isEmpty() ? QString() : QStringLiteral("/")) + segment.toCaseFolded();
        }
        require(!files.contains(place));
        if (kind == Kind::File)
            files.insert(place);
    }
    return 0;
}
