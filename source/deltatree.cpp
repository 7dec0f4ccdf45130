#include "source/deltatree.h"

#include "common/failure.h"
#include "source/sha256.h"
#include "source/zstdframe.h"

#include <QDir>
#include <QFile>

#include <functional>

namespace Updater {

namespace {

constexpr qint64 blockSize = 1024 * 1024;

QString hex(QByteArray digest)
{
    return QString::fromLatin1(digest.toHex());
}

// Reads length bytes of file from its current position into sink, in blocks.
bool readInto(QFile *file, qint64 length, const FrameSink &sink, QString *error)
{
    QByteArray block(qMin(blockSize, qMax<qint64>(length, 1)), Qt::Uninitialized);
    while (length > 0) {
        const qint64 count = file->read(block.data(), qMin<qint64>(block.size(), length));
        if (count <= 0)
            return fail(error,
                        QStringLiteral("cannot read %1: %2")
                            .arg(QDir::toNativeSeparators(file->fileName()), file->errorString()));
        if (!sink(block.constData(), count, error))
            return false;
        length -= count;
    }
    return true;
}

using Producer = std::function<bool(const FrameSink &sink, QString *error)>;

// The size bytes of the file at path.
Producer copyOf(const QString &path, qint64 size)
{
    return [path, size](const FrameSink &sink, QString *error) {
        QFile source(path);
        if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return fail(error, QStringLiteral("cannot read %1: %2")
                                   .arg(QDir::toNativeSeparators(path), source.errorString()));
        return readInto(&source, size, sink, error);
    };
}

class TreeBuilder
{
public:
    TreeBuilder(const DeltaRelease &delta, const QStringList &transferFiles, const QString &treeDir)
        : m_delta(delta)
        , m_transferFiles(transferFiles)
        , m_treeDir(treeDir)
    {
    }

    bool makeDirectories(QString *error) const;
    bool makeStep(const DeltaStep &step, QString *error) const;

private:
    QString target(const DeltaFile &file) const { return m_treeDir + QLatin1Char('/') + file.path; }
    bool writeFile(const DeltaFile &file, const Producer &produce, QString *error) const;

    const DeltaRelease &m_delta;
    const QStringList &m_transferFiles;
    const QString m_treeDir;
};

bool TreeBuilder::makeDirectories(QString *error) const
{
    QStringList directories = m_delta.directories;
    for (const DeltaFile &file : m_delta.files)
        directories.append(file.path.section(QLatin1Char('/'), 0, -2));
    for (const QString &directory : std::as_const(directories)) {
        if (!directory.isEmpty() && !QDir(m_treeDir).mkpath(directory))
            return fail(error, QStringLiteral("cannot write %1: %2")
                                   .arg(QDir::toNativeSeparators(directory),
                                        QStringLiteral("the directory cannot be made")));
    }
    return true;
}

bool TreeBuilder::writeFile(const DeltaFile &file, const Producer &produce, QString *error) const
{
    QFile output(target(file));
    // NewOnly: a name that is there already, a link included, is never written through.
    if (!output.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return fail(error, QStringLiteral("cannot write %1: %2")
                               .arg(QDir::toNativeSeparators(file.path), output.errorString()));
    Sha256 sha;
    qint64 written = 0;
    const FrameSink sink = [&](const char *data, qint64 size, QString *sinkError) {
        written += size;
        if (written > file.size)
            return fail(sinkError, QStringLiteral("%1 does not match its SHA-256")
                                       .arg(QDir::toNativeSeparators(file.path)));
        if (output.write(data, size) != size)
            return fail(sinkError,
                        QStringLiteral("cannot write %1: %2")
                            .arg(QDir::toNativeSeparators(file.path), output.errorString()));
        sha.add(data, size);
        return true;
    };
    if (!produce(sink, error))
        return false;
    output.close();
    if (output.error() != QFileDevice::NoError)
        return fail(error, QStringLiteral("cannot write %1: %2")
                               .arg(QDir::toNativeSeparators(file.path), output.errorString()));
    QByteArray digest;
    if (written != file.size || !sha.result(&digest) || hex(digest) != file.sha256)
        return fail(error, QStringLiteral("%1 does not match its SHA-256")
                               .arg(QDir::toNativeSeparators(file.path)));
#ifndef Q_OS_WIN
    // Executable for whoever may read it, as the package's unpacking makes it.
    if (file.mode & 0111) {
        QFileDevice::Permissions permissions = output.permissions();
        for (const auto &[read, execute] :
             {std::pair{QFileDevice::ReadOwner, QFileDevice::ExeOwner},
              std::pair{QFileDevice::ReadGroup, QFileDevice::ExeGroup},
              std::pair{QFileDevice::ReadOther, QFileDevice::ExeOther}}) {
            if (permissions & read)
                permissions |= execute;
        }
        if (!output.setPermissions(permissions))
            return fail(error, QStringLiteral("cannot write %1: %2")
                                   .arg(QDir::toNativeSeparators(file.path), output.errorString()));
    }
#endif
    return true;
}

bool TreeBuilder::makeStep(const DeltaStep &step, QString *error) const
{
    const DeltaFile &first = m_delta.files.at(step.files.first());
    Producer produce;
    switch (step.source) {
    case DeltaStep::Source::Empty:
        produce = [](const FrameSink &, QString *) {
            return true;
        };
        break;
    case DeltaStep::Source::Installed:
        produce = copyOf(step.installedPath, step.size);
        break;
    case DeltaStep::Source::Patch:
    case DeltaStep::Source::Frame:
        produce = [this, &step, &first](const FrameSink &sink, QString *produceError) {
            QFile pieces(m_transferFiles.value(step.transfer));
            if (!pieces.open(QIODevice::ReadOnly))
                return fail(produceError, QStringLiteral("cannot read %1: %2")
                                              .arg(QDir::toNativeSeparators(pieces.fileName()),
                                                   pieces.errorString()));
            return decodeCheckedFrame(&pieces, step.offsetInTransfer, step.frame,
                                      step.source == DeltaStep::Source::Patch ? step.installedPath
                                                                              : QString(),
                                      first, sink, produceError);
        };
        break;
    }
    if (!writeFile(first, produce, error))
        return false;
    // Further files of the same content are copies of the one just made, checked alike.
    for (int index = 1; index < step.files.size(); ++index) {
        if (!writeFile(m_delta.files.at(step.files.at(index)), copyOf(target(first), step.size),
                       error))
            return false;
    }
    return true;
}

} // namespace

bool decodeCheckedFrame(QFile *pieces, qint64 offset, const DeltaFrame &frame,
                        const QString &basePath, const DeltaFile &file, const FrameSink &sink,
                        QString *error)
{
    const auto cannotRead = [error](const QFile &what) {
        return fail(error, QStringLiteral("cannot read %1: %2")
                               .arg(QDir::toNativeSeparators(what.fileName()), what.errorString()));
    };
    // The frame's bytes are taken as the manifest vouches for them before the decoder sees any.
    Sha256 sha;
    QByteArray digest;
    if (!pieces->seek(offset))
        return cannotRead(*pieces);
    if (!readInto(
            pieces, frame.length,
            [&sha](const char *data, qint64 size, QString *) { return sha.add(data, size); },
            error))
        return false;
    if (!sha.result(&digest) || hex(digest) != frame.sha256)
        return fail(error, QStringLiteral("the fetched frame for %1 does not match its SHA-256")
                               .arg(QDir::toNativeSeparators(file.path)));
    if (!pieces->seek(offset))
        return cannotRead(*pieces);

    QFile base(basePath);
    const uchar *prefix = nullptr;
    const qint64 prefixSize = basePath.isEmpty() ? 0 : base.size();
    if (!basePath.isEmpty()
        && (!base.open(QIODevice::ReadOnly)
            || (prefixSize > 0 && !(prefix = base.map(0, prefixSize)))))
        return cannotRead(base);
    QString reason;
    if (!decodeZstdFrame(pieces, frame.length, reinterpret_cast<const char *>(prefix), prefixSize,
                         file.size, sink, &reason))
        return fail(error,
                    QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.path), reason));
    return true;
}

bool buildDeltaTree(const DeltaRelease &delta, const DeltaPlan &plan,
                    const QStringList &transferFiles, const QString &treeDir, QString *error)
{
    if (error)
        error->clear();
    const TreeBuilder builder(delta, transferFiles, treeDir);
    if (!builder.makeDirectories(error))
        return false;
    for (const DeltaStep &step : plan.steps) {
        if (!builder.makeStep(step, error))
            return false;
    }
    return true;
}

} // namespace Updater
