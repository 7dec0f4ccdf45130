// Any bytes as the package the updater unpacks. Besides not crashing, the extraction may write
// only below its destination and only plain files and directories, and a package refused for an
// entry must leave the destination empty.
#include "worker/packageextraction.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir root;
    require(root.isValid());
    const QDir base(root.path());
    const QString package = base.filePath(QStringLiteral("package.zip"));
    const QString out = base.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    require(base.mkpath(QStringLiteral("out")));
    QFile file(package);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    require(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    file.close();

    QString error;
    const bool ok = Updater::extractPackageFile(package, out, &error);
    require(ok || !error.isEmpty());
    require(base.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
            == (QStringList{QStringLiteral("out"), QStringLiteral("package.zip")}));
    QDirIterator written(out, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (written.hasNext()) {
        const QFileInfo entry(written.next());
        require(!entry.isSymLink() && (entry.isFile() || entry.isDir()));
        require(!error.startsWith(QStringLiteral("Package entry is not allowed: ")));
    }
    return 0;
}
