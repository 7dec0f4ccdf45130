#include "source/deltamanifest.h"

#include "common/failure.h"

#include <QJsonArray>
#include <QSet>

#include <algorithm>

namespace Updater {

namespace {

// JSON numbers are doubles: whole numbers beyond this are not exact.
constexpr double largestExactInteger = 9007199254740992.0;
// As many as a package may hold.
constexpr qsizetype fileCountLimit = 100000;

// Reads the members of the delta object, remembering the first thing wrong with it; every read
// after that returns an empty value.
class DeltaReader
{
public:
    QString problem;

    QJsonObject object(const QJsonValue &value, const QString &what)
    {
        if (!value.isObject())
            refuse(QStringLiteral("%1 is not an object").arg(what));
        return value.toObject();
    }

    QJsonArray array(const QJsonObject &object, const QString &key)
    {
        const QJsonValue value = object.value(key);
        if (!value.isArray())
            refuse(QStringLiteral("%1 is not a list").arg(key));
        return value.toArray();
    }

    QString text(const QJsonObject &object, const QString &key)
    {
        const QJsonValue value = object.value(key);
        if (!value.isString() || value.toString().isEmpty())
            refuse(QStringLiteral("%1 is missing").arg(key));
        return value.toString();
    }

    qint64 number(const QJsonObject &object, const QString &key)
    {
        const QJsonValue value = object.value(key);
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number < 0 || number > largestExactInteger
            || number != double(qint64(number))) {
            refuse(QStringLiteral("%1 is not a size").arg(key));
            return 0;
        }
        return qint64(number);
    }

    QString hash(const QJsonObject &object, const QString &key)
    {
        const QString digits = text(object, key).toLower();
        const bool hex =
            digits.size() == 64 && std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
                return (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                       || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
            });
        if (!hex)
            refuse(QStringLiteral("%1 is not a SHA-256").arg(key));
        return digits;
    }

    DeltaFrame frame(const QJsonObject &owner, qint64 fileSize, const QString &what)
    {
        const QJsonObject object = this->object(owner.value(QStringLiteral("frame")), what);
        DeltaFrame frame;
        frame.offset = number(object, QStringLiteral("offset"));
        frame.length = number(object, QStringLiteral("length"));
        frame.sha256 = hash(object, QStringLiteral("sha256"));
        if (frame.length == 0 || frame.offset > fileSize || frame.length > fileSize - frame.offset)
            refuse(QStringLiteral("the frame of %1 lies outside its file").arg(what));
        return frame;
    }

    void refuse(const QString &reason)
    {
        if (problem.isEmpty())
            problem = reason;
    }
};

// A relative path below the installation of names Windows can hold: no drive, no "..", no
// alternate data stream, nothing Windows would read as another name.
bool isTreePath(const QString &path)
{
    if (path.isEmpty() || path.size() > 4096)
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    return std::all_of(segments.cbegin(), segments.cend(), [](const QString &segment) {
        static const QString forbidden = QStringLiteral("<>:\"\\|?*");
        return !segment.isEmpty() && !segment.endsWith(QLatin1Char('.'))
               && !segment.endsWith(QLatin1Char(' '))
               && std::none_of(segment.cbegin(), segment.cend(), [](QChar c) {
                      return c.category() == QChar::Other_Control || forbidden.contains(c);
                  });
    });
}

// Every place of the tree by its case-folded path (Windows takes two spellings as one name):
// refuses a path that is there already and a file where a directory is needed or the reverse.
class TreePlaces
{
public:
    bool add(const QString &path, bool isFile, QString *problem)
    {
        if (!isTreePath(path))
            return fail(problem, QStringLiteral("the path %1 is not allowed").arg(path));
        const QString folded = path.toCaseFolded();
        if (m_files.contains(folded) || m_directories.contains(folded))
            return fail(problem, QStringLiteral("the path %1 is given twice").arg(path));
        if (isFile && m_parents.contains(folded))
            return fail(problem, QStringLiteral("the file %1 holds other files").arg(path));
        for (qsizetype slash = folded.indexOf(QLatin1Char('/')); slash >= 0;
             slash = folded.indexOf(QLatin1Char('/'), slash + 1)) {
            if (m_files.contains(folded.left(slash)))
                return fail(problem, QStringLiteral("the path %1 lies inside a file").arg(path));
            m_parents.insert(folded.left(slash));
        }
        (isFile ? m_files : m_directories).insert(folded);
        return true;
    }

private:
    QSet<QString> m_files;
    QSet<QString> m_directories;
    QSet<QString> m_parents;
};

QJsonObject frameObject(const DeltaFrame &frame)
{
    return {{QStringLiteral("offset"), double(frame.offset)},
            {QStringLiteral("length"), double(frame.length)},
            {QStringLiteral("sha256"), frame.sha256}};
}

} // namespace

bool parseDelta(const QJsonValue &value, DeltaRelease *out, QString *error)
{
    DeltaReader reader;
    const QJsonObject object = reader.object(value, QStringLiteral("delta"));
    DeltaRelease delta;
    delta.zpackUrl = reader.text(object, QStringLiteral("zpack_url"));
    delta.zpackSize = reader.number(object, QStringLiteral("zpack_size"));

    TreePlaces places;
    QSet<QString> contents;
    const QJsonArray files = reader.array(object, QStringLiteral("files"));
    if (files.isEmpty() || files.size() > fileCountLimit)
        reader.refuse(QStringLiteral("the file list is empty or too long"));
    for (const QJsonValue &item : files) {
        const QJsonObject entry = reader.object(item, QStringLiteral("a file"));
        DeltaFile file;
        file.path = reader.text(entry, QStringLiteral("path"));
        file.size = reader.number(entry, QStringLiteral("size"));
        file.sha256 = reader.hash(entry, QStringLiteral("sha256"));
        file.mode = quint32(reader.number(entry, QStringLiteral("mode")));
        file.frame = reader.frame(entry, delta.zpackSize, file.path);
        if (file.mode > 07777)
            reader.refuse(QStringLiteral("the mode of %1 is not allowed").arg(file.path));
        QString problem;
        if (reader.problem.isEmpty() && !places.add(file.path, true, &problem))
            reader.refuse(problem);
        contents.insert(file.sha256);
        delta.files.append(file);
        if (!reader.problem.isEmpty())
            break;
    }
    for (const QJsonValue &item : reader.array(object, QStringLiteral("directories"))) {
        QString problem;
        if (reader.problem.isEmpty() && !places.add(item.toString(), false, &problem))
            reader.refuse(problem);
        delta.directories.append(item.toString());
    }

    for (const QJsonValue &item : reader.array(object, QStringLiteral("patches"))) {
        const QJsonObject patchObject = reader.object(item, QStringLiteral("a patch"));
        DeltaPatchFile patch;
        patch.fromVersion = reader.text(patchObject, QStringLiteral("from_version"));
        patch.url = reader.text(patchObject, QStringLiteral("url"));
        patch.size = reader.number(patchObject, QStringLiteral("size"));
        patch.sha256 = reader.hash(patchObject, QStringLiteral("sha256"));
        for (const QJsonValue &entryItem : reader.array(patchObject, QStringLiteral("entries"))) {
            const QJsonObject entryObject =
                reader.object(entryItem, QStringLiteral("a patch entry"));
            DeltaPatchEntry entry;
            entry.path = reader.text(entryObject, QStringLiteral("path"));
            entry.baseSha256 = reader.hash(entryObject, QStringLiteral("base_sha256"));
            entry.baseSize = reader.number(entryObject, QStringLiteral("base_size"));
            entry.sha256 = reader.hash(entryObject, QStringLiteral("sha256"));
            entry.frame = reader.frame(entryObject, patch.size, entry.path);
            if (reader.problem.isEmpty() && !contents.contains(entry.sha256))
                reader.refuse(
                    QStringLiteral("the patch for %1 makes no file of the list").arg(entry.path));
            patch.entries.append(entry);
        }
        delta.patches.append(patch);
    }

    if (!reader.problem.isEmpty())
        return fail(error, reader.problem);
    if (out)
        *out = delta;
    return true;
}

QJsonObject deltaObject(const DeltaRelease &delta)
{
    QJsonArray files;
    for (const DeltaFile &file : delta.files)
        files.append(QJsonObject{{QStringLiteral("path"), file.path},
                                 {QStringLiteral("size"), double(file.size)},
                                 {QStringLiteral("sha256"), file.sha256},
                                 {QStringLiteral("mode"), double(file.mode)},
                                 {QStringLiteral("frame"), frameObject(file.frame)}});
    QJsonArray patches;
    for (const DeltaPatchFile &patch : delta.patches) {
        QJsonArray entries;
        for (const DeltaPatchEntry &entry : patch.entries)
            entries.append(QJsonObject{{QStringLiteral("path"), entry.path},
                                       {QStringLiteral("base_sha256"), entry.baseSha256},
                                       {QStringLiteral("base_size"), double(entry.baseSize)},
                                       {QStringLiteral("sha256"), entry.sha256},
                                       {QStringLiteral("frame"), frameObject(entry.frame)}});
        patches.append(QJsonObject{{QStringLiteral("from_version"), patch.fromVersion},
                                   {QStringLiteral("url"), patch.url},
                                   {QStringLiteral("size"), double(patch.size)},
                                   {QStringLiteral("sha256"), patch.sha256},
                                   {QStringLiteral("entries"), entries}});
    }
    return {{QStringLiteral("zpack_url"), delta.zpackUrl},
            {QStringLiteral("zpack_size"), double(delta.zpackSize)},
            {QStringLiteral("files"), files},
            {QStringLiteral("directories"), QJsonArray::fromStringList(delta.directories)},
            {QStringLiteral("patches"), patches}};
}

} // namespace Updater
