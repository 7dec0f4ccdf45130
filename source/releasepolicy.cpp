#include "source/releasepolicy.h"

#include "common/failure.h"

#include <QRegularExpression>
#include <QStringList>

namespace Updater {

namespace {

// A number without its leading zeros, so that texts of any length compare as numbers.
QString significant(const QString &number)
{
    qsizetype start = 0;
    while (start < number.size() - 1 && number.at(start) == QLatin1Char('0'))
        ++start;
    return number.mid(start);
}

} // namespace

bool isDottedVersion(const QString &version)
{
    static const QRegularExpression dotted(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return dotted.match(version).hasMatch();
}

int compareDottedVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const QString x = significant(left.value(i, QStringLiteral("0")));
        const QString y = significant(right.value(i, QStringLiteral("0")));
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        if (const int order = x.compare(y))
            return order < 0 ? -1 : 1;
    }
    return 0;
}

bool checkReleasePolicy(const UpdateManifest &release, const QString &currentVersion,
                        bool signedRelease, const QDateTime &now, QString *error)
{
    if (signedRelease && !release.expires.isValid())
        return fail(error, QStringLiteral("Update manifest is missing expires."));
    if (signedRelease && release.packageSize < 0)
        return fail(error, QStringLiteral("Update manifest is missing package_size."));
    // An old signed manifest replayed by whoever controls the server or the network would
    // otherwise stay good forever.
    if (release.expires.isValid() && release.expires <= now)
        return fail(error, QStringLiteral("Update manifest expired on %1.")
                               .arg(release.expires.toString(Qt::ISODate)));
    if (!signedRelease)
        return true;

    // A genuine older release, replayed, would bring back the faults fixed since.
    if (!isDottedVersion(release.version))
        return fail(error, QStringLiteral("Update manifest version %1 is not dotted numbers.")
                               .arg(release.version));
    if (release.allowDowngrade)
        return true;
    if (!isDottedVersion(currentVersion))
        return fail(error, QStringLiteral("Current version %1 is not dotted numbers, so a "
                                          "downgrade cannot be ruled out.")
                               .arg(currentVersion));
    if (compareDottedVersions(release.version, currentVersion) < 0)
        return fail(error,
                    QStringLiteral("Update manifest version %1 is older than the installed %2.")
                        .arg(release.version, currentVersion));
    return true;
}

} // namespace Updater
