#include "tools/release/releaseoptions.h"

#include "common/failure.h"
#include "source/releasepolicy.h"

#include <QRegularExpression>
#include <QSet>
#include <QUrl>

namespace Updater::Release {

namespace {

// The updater reads any other channel name as "stable"; refusing it here keeps a typo from
// publishing to the wrong audience without a word.
bool isKnownChannel(const QString &channel)
{
    return channel == QLatin1String("stable") || channel == QLatin1String("migration");
}

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

} // namespace

QString releaseUsage()
{
    return QStringLiteral(
        "Usage: orvalink-release --payload DIR --version V --package-url URL --out DIR\n"
        "                        [--channel stable|migration] [--release-notes FILE]\n"
        "                        [--mandatory] [--minimum-supported-version V]\n"
        "                        [--top-folder NAME] [--expires-in DAYS]\n"
        "                        [--sign KEYFILE [--sign-password-file FILE]]\n"
        "                        [--previous DIR [--previous-version V]]...\n"
        "Packs DIR into OUT/package.zip and describes it in OUT/manifest.json. With --sign,\n"
        "signs the manifest with that minisign secret key into OUT/manifest.json.minisig;\n"
        "the key's password is read from FILE, or else asked for on the terminal.\n"
        "The manifest expires DAYS days (default 90) after publishing: publish again before.\n"
        "Also writes OUT/package.zpack for differential updates and, for each --previous\n"
        "release (up to 3: an earlier OUT folder, or a payload tree of version V),\n"
        "OUT/package-from-VERSION.zpatch; upload them beside the package.\n");
}

bool parseReleaseOptions(const QStringList &arguments, ReleaseOptions *out, QString *error)
{
    if (error)
        error->clear();

    ReleaseOptions options;
    QSet<QString> seen;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            options.helpRequested = true;
            continue;
        }
        if (name == QLatin1String("--previous") || name == QLatin1String("--previous-version")) {
            if (i + 1 >= arguments.size())
                return fail(error, QStringLiteral("%1 needs a value.").arg(name));
            const QString value = arguments.at(++i);
            if (name == QLatin1String("--previous")) {
                if (options.previous.size() == previousReleaseLimit)
                    return fail(error, QStringLiteral("--previous is given more than %1 times.")
                                           .arg(previousReleaseLimit));
                options.previous.append(PreviousRelease{value, QString()});
            } else if (options.previous.isEmpty() || !options.previous.last().version.isEmpty()) {
                return fail(error,
                            QStringLiteral("--previous-version must follow its --previous."));
            } else {
                options.previous.last().version = value.trimmed();
            }
            continue;
        }
        if (seen.contains(name))
            return fail(error, QStringLiteral("%1 is given more than once.").arg(name));
        seen.insert(name);
        if (name == QLatin1String("--mandatory")) {
            options.mandatory = true;
            continue;
        }

        QString *target = nullptr;
        QString expiresIn;
        if (name == QLatin1String("--payload"))
            target = &options.payloadDir;
        else if (name == QLatin1String("--version"))
            target = &options.version;
        else if (name == QLatin1String("--package-url"))
            target = &options.packageUrl;
        else if (name == QLatin1String("--out"))
            target = &options.outDir;
        else if (name == QLatin1String("--channel"))
            target = &options.channel;
        else if (name == QLatin1String("--release-notes"))
            target = &options.releaseNotesFile;
        else if (name == QLatin1String("--minimum-supported-version"))
            target = &options.minimumSupportedVersion;
        else if (name == QLatin1String("--top-folder"))
            target = &options.topFolder;
        else if (name == QLatin1String("--sign"))
            target = &options.signingKey;
        else if (name == QLatin1String("--sign-password-file"))
            target = &options.signingPasswordFile;
        else if (name == QLatin1String("--expires-in"))
            target = &expiresIn;
        else
            return fail(error, QStringLiteral("Unknown argument: %1").arg(name));

        if (i + 1 >= arguments.size())
            return fail(error, QStringLiteral("%1 needs a value.").arg(name));
        *target = arguments.at(++i);
        if (target == &expiresIn) {
            bool number = false;
            options.expiresInDays = expiresIn.trimmed().toInt(&number);
            if (!number || options.expiresInDays < 1 || options.expiresInDays > 36500)
                return fail(error, QStringLiteral("--expires-in must be a number of days from 1 "
                                                  "to 36500: %1")
                                       .arg(expiresIn));
        }
    }

    if (options.helpRequested) {
        *out = options;
        return true;
    }

    // The updater trims what it reads, so the manifest is written with the trimmed texts and the
    // read-back check compares like with like.
    options.version = options.version.trimmed();
    options.packageUrl = options.packageUrl.trimmed();
    options.minimumSupportedVersion = options.minimumSupportedVersion.trimmed();
    options.channel = options.channel.trimmed().toLower();

    if (options.payloadDir.isEmpty())
        return fail(error, QStringLiteral("--payload is required."));
    if (options.outDir.isEmpty())
        return fail(error, QStringLiteral("--out is required."));
    if (options.version.isEmpty())
        return fail(error, QStringLiteral("--version is required and must not be blank."));
    if (options.packageUrl.isEmpty())
        return fail(error, QStringLiteral("--package-url is required."));
    // The signed trusted comment separates its fields by white space.
    if (options.version.contains(QRegularExpression(QStringLiteral("\\s"))))
        return fail(
            error,
            QStringLiteral("--version must not contain white space: %1").arg(options.version));
    if (!options.signingKey.isEmpty() && !isDottedVersion(options.version))
        return fail(error, QStringLiteral("--version of a signed release must be dotted numbers "
                                          "such as 3.0.1: %1")
                               .arg(options.version));
    if (!options.signingPasswordFile.isEmpty() && options.signingKey.isEmpty())
        return fail(error, QStringLiteral("--sign-password-file needs --sign."));

    const QUrl url(options.packageUrl, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return fail(error, QStringLiteral("--package-url must be an absolute http or https URL: %1")
                               .arg(options.packageUrl));
    if (!isKnownChannel(options.channel))
        return fail(
            error,
            QStringLiteral("--channel must be stable or migration, not %1").arg(options.channel));
    if (seen.contains(QStringLiteral("--top-folder")) && !isPlainName(options.topFolder))
        return fail(
            error,
            QStringLiteral("--top-folder must be a single folder name: %1").arg(options.topFolder));

    *out = options;
    return true;
}

} // namespace Updater::Release
