#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Updater::Release {

// An earlier release that the patches of a differential update start from.
struct PreviousRelease
{
    QString dir;     // an earlier release's output folder, or its payload tree
    QString version; // the payload tree's version; empty for an output folder (its manifest's)
};

// What one run of orvalink-release is asked to publish.
struct ReleaseOptions
{
    QString payloadDir;
    QString version;
    QString packageUrl;
    QString outDir;
    QString channel = QStringLiteral("stable");
    QString releaseNotesFile; // empty: no release notes
    QString minimumSupportedVersion;
    QString topFolder;           // empty: the payload's entries sit at the top of the zip
    QString signingKey;          // a minisign secret key file; empty: the manifest is not signed
    QString signingPasswordFile; // empty: an encrypted key's password is asked on the terminal
    int expiresInDays = 90;      // the manifest's expires: this many days after publishing
    QList<PreviousRelease> previous; // at most previousReleaseLimit
    bool mandatory = false;
    bool helpRequested = false;
};

// Patches are made against at most this many earlier releases.
constexpr int previousReleaseLimit = 3;

// The usage text printed for --help and after a command-line error.
QString releaseUsage();

// Reads the arguments that follow the program name. Each option takes its value as the next
// argument; --mandatory and --help take none; --previous may be given up to previousReleaseLimit
// times, each followed by at most one --previous-version. Checks the values that need no file
// system: a non-blank version without white space inside, an absolute http(s) URL with a host, a
// known channel, a plain top-folder name, no password file without a key, 1 to 36500 days of
// validity, and dotted numbers as the version of a signed release (which an updater with a key
// compares). False with one English message in *error (may be null) otherwise; *out is then
// unchanged.
bool parseReleaseOptions(const QStringList &arguments, ReleaseOptions *out, QString *error);

} // namespace Updater::Release
