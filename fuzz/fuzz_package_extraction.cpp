// Any bytes as the package the updater unpacks. Besides not crashing, the extraction may write
// only plain files and directories, only below its destination, and nothing for a refused entry.
#include "worker/packageextraction.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto require = [](bool condition) {
        if (!condition)
            std::abort();
    };
    static QTemporaryDir root;
    const QDir base(root.path());
    const QString out = base.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    require(base.mkpath(QStringLiteral("out")));
    QFile package(base.filePath(QStringLiteral("package.zip")));
    require(package.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && package.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    package.close();

    QString error;
    const bool ok = Updater::extractPackageFile(package.fileName(), out, &error);
    // A failure says why in one of the two forms; a success says nothing.
    require(ok
            != error.startsWith(QStringLiteral("Failed to extract package: "))
                   + error.startsWith(QStringLiteral("Package entry is not allowed: ")));
    const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    require(base.entryList(all)
            == QStringList({QStringLiteral("out"), QStringLiteral("package.zip")}));
    QDirIterator written(out, all, QDirIterator::Subdirectories);
    while (written.hasNext()) {
        const QFileInfo entry(written.next());
        require(!entry.isSymLink() && (entry.isFile() || entry.isDir()));
        require(!error.startsWith(QStringLiteral("Package entry is not allowed: ")));
    }
    return 0;
}
