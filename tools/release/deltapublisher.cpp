#include "tools/release/deltapublisher.h"

#include "common/failure.h"
#include "source/deltatree.h"
#include "source/manifestparser.h"
#include "source/packagehash.h"
#include "source/sha256.h"
#include "tools/release/outputfile.h"
#include "tools/release/ziparchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>

#include <zstd.h>

namespace Updater::Release {

namespace {

constexpr int compressionLevel = 19;
// Larger files are published as zpack frames only: a patch needs the old and the new file within
// the decoder's window.
constexpr qint64 patchedFileLimit = qint64(1) << zstdWindowLogMax;
// From this window on the compressor's own match search no longer reaches across the whole old
// file, and long distance matching finds what it misses.
constexpr int longMatchingWindowLog = 24;

struct CompressorDeleter
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

// A file mapped for reading (an empty one maps to nothing).
class MappedFile
{
public:
    explicit MappedFile(const QString &path)
        : m_file(path)
    {
    }
    bool open(QString *error)
    {
        if (m_file.open(QIODevice::ReadOnly)
            && (m_file.size() == 0 || (m_data = m_file.map(0, m_file.size()))))
            return true;
        return fail(
            error,
            QStringLiteral("Cannot read %1: %2").arg(m_file.fileName(), m_file.errorString()));
    }
    const char *data() const { return reinterpret_cast<const char *>(m_data); }
    qint64 size() const { return m_file.size(); }

private:
    QFile m_file;
    const uchar *m_data = nullptr;
};

int bitWidth(qint64 value)
{
    int width = 0;
    while (value > 0) {
        ++width;
        value >>= 1;
    }
    return width;
}

// One zstd frame of content; with a prefix (the earlier file), a patch: the window covers the
// earlier file and the new one, as far as the decoder's limit allows.
bool compressFrame(const MappedFile &content, const MappedFile *prefix, QByteArray *frame,
                   QString *error)
{
    const std::unique_ptr<ZSTD_CCtx, CompressorDeleter> context(ZSTD_createCCtx());
    size_t status =
        context ? ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, compressionLevel)
                : size_t(-1);
    if (!ZSTD_isError(status) && prefix) {
        const int windowLog =
            qBound(ZSTD_cParam_getBounds(ZSTD_c_windowLog).lowerBound,
                   bitWidth(qMax(content.size(), prefix->size())) + 1, zstdWindowLogMax);
        status = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
        if (!ZSTD_isError(status) && windowLog >= longMatchingWindowLog)
            status = ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
        if (!ZSTD_isError(status) && prefix->size() > 0)
            status = ZSTD_CCtx_refPrefix(context.get(), prefix->data(), size_t(prefix->size()));
    } else if (!ZSTD_isError(status)) {
        // Frames without a prefix lose nothing by being compressed in parallel; a library built
        // without threads refuses, and compresses alone.
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, QThread::idealThreadCount());
    }
    if (!ZSTD_isError(status)) {
        frame->resize(qsizetype(ZSTD_compressBound(size_t(content.size()))));
        status = ZSTD_compress2(context.get(), frame->data(), size_t(frame->size()), content.data(),
                                size_t(content.size()));
    }
    if (ZSTD_isError(status))
        return fail(error, QStringLiteral("Cannot compress: %1")
                               .arg(QString::fromLatin1(ZSTD_getErrorName(status))));
    frame->resize(qsizetype(status));
    return true;
}

DeltaFrame appendFrame(QTemporaryFile *file, const QByteArray &bytes, QString *error)
{
    DeltaFrame frame{
        file->pos(), bytes.size(),
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())};
    if (file->write(bytes) != bytes.size())
        fail(error,
             QStringLiteral("Cannot write %1: %2").arg(file->fileName(), file->errorString()));
    return frame;
}

QString publishedUrl(const QString &packageUrl, const QString &name)
{
    return QUrl(packageUrl)
        .resolved(QUrl(QString::fromLatin1(QUrl::toPercentEncoding(name))))
        .toString();
}

QString patchName(const QString &version)
{
    return QStringLiteral("package-from-%1.zpatch").arg(version);
}

// The one top folder of an unpacked package is the installation's top, as the updater takes it.
QString installedTop(const QString &unpackDir)
{
    const QFileInfoList entries =
        QDir(unpackDir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (entries.size() == 1 && entries.first().isDir() && !entries.first().isSymLink())
        return entries.first().filePath();
    return unpackDir;
}

// The SHA-256 that frame's decoded bytes have, with prefixPath's content as the prefix.
bool decodedSha256(QFile *file, const DeltaFrame &frame, const QString &prefixPath,
                   const DeltaFile &content, QString *sha256, QString *error)
{
    Sha256 sha;
    QByteArray digest;
    if (!decodeCheckedFrame(
            file, frame.offset, frame, prefixPath, content,
            [&sha](const char *data, qint64 size, QString *) { return sha.add(data, size); }, error)
        || !sha.result(&digest))
        return false;
    *sha256 = QString::fromLatin1(digest.toHex());
    return true;
}

} // namespace

bool openReleaseTree(const PreviousRelease &previous, const QString &newVersion,
                     const QString &unpackDir, ReleaseTree *out, QString *error)
{
    ReleaseTree tree{previous.version, previous.dir};
    if (!QFileInfo(previous.dir).isDir())
        return fail(error,
                    QStringLiteral("The earlier release %1 is not a directory.").arg(previous.dir));
    if (previous.version.isEmpty()) {
        const QString manifestPath = previous.dir + QStringLiteral("/manifest.json");
        const QString packagePath = previous.dir + QStringLiteral("/package.zip");
        QFile manifestFile(manifestPath);
        UpdateManifest manifest;
        QString reason;
        if (!QFileInfo::exists(packagePath) || !manifestFile.open(QIODevice::ReadOnly))
            return fail(error, QStringLiteral("%1 holds no manifest.json and package.zip; give "
                                              "--previous-version for a payload tree.")
                                   .arg(previous.dir));
        if (!parseUpdateManifest(manifestFile.readAll(), &manifest, &reason)
            || !verifyPackageHash(packagePath, manifest.packageHash, &reason))
            return fail(error, QStringLiteral("The earlier release in %1 is refused by the "
                                              "updater: %2")
                                   .arg(previous.dir, reason));
        QList<PayloadEntry> listing;
        if (!readZipArchive(packagePath, &listing, error, unpackDir))
            return false;
        tree = ReleaseTree{manifest.version, installedTop(unpackDir)};
    }
    // The version names a published file.
    static const QRegularExpression fileNameVersion(
        QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._+~-]*$"));
    if (!fileNameVersion.match(tree.version).hasMatch() || tree.version.endsWith(QLatin1Char('.')))
        return fail(error, QStringLiteral("The earlier version %1 cannot name a file: use "
                                          "letters, digits and . _ + ~ - only.")
                               .arg(tree.version));
    if (tree.version == newVersion)
        return fail(error, QStringLiteral("The earlier release %1 has the new version %2.")
                               .arg(previous.dir, newVersion));
    *out = tree;
    return true;
}

bool DeltaPublication::write(const QList<PayloadEntry> &entries, const QString &topFolder,
                             const QList<ReleaseTree> &previous, const QString &packageUrl,
                             const QString &outDir, QString *error)
{
    m_delta = DeltaRelease();
    m_note.clear();
    const QString topPrefix = topFolder.isEmpty() ? QString() : topFolder + QLatin1Char('/');
    QHash<QString, QString> sourceOf; // content → the payload file that holds it
    QHash<QString, DeltaFrame> zpackFrameOf;

    m_zpack = std::make_unique<QTemporaryFile>();
    if (!openTemporary(m_zpack.get(), outDir, QStringLiteral("package.zpack"), error))
        return false;
    for (const PayloadEntry &entry : entries) {
        const QString path = entry.archivePath.mid(topPrefix.size())
                                 .chopped(entry.kind == PayloadEntry::Kind::Directory ? 1 : 0);
        if (entry.kind == PayloadEntry::Kind::SymLink) {
            abandon(QStringLiteral("No differential update: the payload holds links."));
            return true;
        }
        if (path.isEmpty())
            continue;
        if (entry.kind == PayloadEntry::Kind::Directory) {
            m_delta.directories.append(path);
            continue;
        }
        DeltaFile file{
            path, entry.size, sha256OfFile(entry.sourcePath, error), entry.permissions, {}};
        if (file.sha256.isEmpty())
            return false;
        if (!zpackFrameOf.contains(file.sha256)) {
            MappedFile content(entry.sourcePath);
            QByteArray frame;
            if (!content.open(error) || !compressFrame(content, nullptr, &frame, error))
                return false;
            QString writeError;
            zpackFrameOf.insert(file.sha256, appendFrame(m_zpack.get(), frame, &writeError));
            sourceOf.insert(file.sha256, entry.sourcePath);
            if (!writeError.isEmpty())
                return fail(error, writeError);
        }
        file.frame = zpackFrameOf.value(file.sha256);
        m_delta.files.append(file);
    }
    m_delta.zpackUrl = publishedUrl(packageUrl, QStringLiteral("package.zpack"));
    m_delta.zpackSize = m_zpack->pos();
    if (!finishTemporary(m_zpack.get(), error))
        return false;

    for (const ReleaseTree &tree : previous) {
        auto patchFile = std::make_unique<QTemporaryFile>();
        if (!openTemporary(patchFile.get(), outDir, patchName(tree.version), error))
            return false;
        DeltaPatchFile patch;
        patch.fromVersion = tree.version;
        patch.url = publishedUrl(packageUrl, patchName(tree.version));
        QHash<QString, DeltaFrame> frameOfChange; // base and new content → its frame
        for (const DeltaFile &file : std::as_const(m_delta.files)) {
            const QFileInfo base(tree.dir + QLatin1Char('/') + file.path);
            if (!base.isFile() || base.isSymLink() || base.size() > patchedFileLimit
                || file.size > patchedFileLimit)
                continue;
            DeltaPatchEntry entry{
                file.path, sha256OfFile(base.filePath(), error), base.size(), file.sha256, {}};
            if (entry.baseSha256.isEmpty())
                return false;
            if (entry.baseSha256 == file.sha256)
                continue;
            const QString change = entry.baseSha256 + file.sha256;
            if (!frameOfChange.contains(change)) {
                MappedFile content(sourceOf.value(file.sha256));
                MappedFile prefix(base.filePath());
                QByteArray frame;
                if (!content.open(error) || !prefix.open(error)
                    || !compressFrame(content, &prefix, &frame, error))
                    return false;
                // Worth a patch only when it saves at least half of the file's own frame.
                if (frame.size() * 2 > file.frame.length) {
                    frameOfChange.insert(change, DeltaFrame());
                    continue;
                }
                QString writeError;
                frameOfChange.insert(change, appendFrame(patchFile.get(), frame, &writeError));
                if (!writeError.isEmpty())
                    return fail(error, writeError);
            }
            entry.frame = frameOfChange.value(change);
            if (entry.frame.length > 0)
                patch.entries.append(entry);
        }
        patch.size = patchFile->pos();
        if (!finishTemporary(patchFile.get(), error))
            return false;
        if (patch.entries.isEmpty())
            continue;
        patch.sha256 = sha256OfFile(patchFile->fileName(), error);
        if (patch.sha256.isEmpty())
            return false;
        m_delta.patches.append(patch);
        m_patches.push_back(std::move(patchFile));
    }
    return true;
}

bool DeltaPublication::check(const QList<ReleaseTree> &previous, QString *error) const
{
    if (m_delta.isEmpty())
        return true;
    QFile zpack(m_zpack->fileName());
    if (!zpack.open(QIODevice::ReadOnly) || zpack.size() != m_delta.zpackSize)
        return fail(
            error,
            QStringLiteral("The written %1 is not what was written to it.").arg(zpack.fileName()));
    QHash<QString, DeltaFile> fileOf; // by content
    for (const DeltaFile &file : m_delta.files) {
        if (fileOf.contains(file.sha256))
            continue;
        fileOf.insert(file.sha256, file);
        QString sha256;
        QString reason;
        if (!decodedSha256(&zpack, file.frame, QString(), file, &sha256, &reason)
            || sha256 != file.sha256)
            return fail(error, QStringLiteral("The zpack frame of %1 does not reproduce it: %2")
                                   .arg(file.path, reason));
    }
    for (size_t index = 0; index < m_patches.size(); ++index) {
        const DeltaPatchFile &patch = m_delta.patches.at(qsizetype(index));
        const QString baseDir =
            std::find_if(previous.cbegin(), previous.cend(), [&patch](const ReleaseTree &tree) {
                return tree.version == patch.fromVersion;
            })->dir;
        QFile file(m_patches.at(index)->fileName());
        if (!file.open(QIODevice::ReadOnly) || file.size() != patch.size
            || sha256OfFile(file.fileName(), nullptr) != patch.sha256)
            return fail(error, QStringLiteral("The written %1 is not what was written to it.")
                                   .arg(file.fileName()));
        for (const DeltaPatchEntry &entry : patch.entries) {
            const QString basePath = baseDir + QLatin1Char('/') + entry.path;
            QString sha256;
            QString reason = QStringLiteral("the earlier file changed");
            if (sha256OfFile(basePath, nullptr) != entry.baseSha256
                || !decodedSha256(&file, entry.frame, basePath, fileOf.value(entry.sha256), &sha256,
                                  &reason)
                || sha256 != entry.sha256)
                return fail(error,
                            QStringLiteral("The patch for %1 from %2 does not reproduce it: %3")
                                .arg(entry.path, patch.fromVersion, reason));
        }
    }
    return true;
}

void DeltaPublication::abandon(const QString &note)
{
    m_delta = DeltaRelease();
    m_note = note;
    m_zpack.reset();
    m_patches.clear();
}

bool DeltaPublication::moveIntoPlace(const QString &outDir, QString *error)
{
    if (m_delta.isEmpty())
        return true;
    for (size_t index = 0; index < m_patches.size(); ++index) {
        if (!Release::moveIntoPlace(
                m_patches.at(index).get(),
                outDir + QLatin1Char('/')
                    + patchName(m_delta.patches.at(qsizetype(index)).fromVersion),
                error))
            return false;
    }
    return Release::moveIntoPlace(m_zpack.get(), outDir + QStringLiteral("/package.zpack"), error);
}

QStringList DeltaPublication::fileNames() const
{
    QStringList names;
    if (!m_delta.isEmpty())
        names.append(QStringLiteral("package.zpack"));
    for (const DeltaPatchFile &patch : m_delta.patches)
        names.append(patchName(patch.fromVersion));
    return names;
}

} // namespace Updater::Release
