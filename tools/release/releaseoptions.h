#pragma once

#include <QString>
#include <QStringList>

namespace Updater::Release {

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
    bool mandatory = false;
    bool helpRequested = false;
};

// The usage text printed for --help and after a command-line error.
QString releaseUsage();

// Reads the arguments that follow the program name. Each option takes its value as the next
// argument; --mandatory and --help take none. Checks the values that need no file system: a
// non-blank version without white space inside, an absolute http(s) URL with a host, a known
// channel, a plain top-folder name, no password file without a key, 1 to 36500 days of validity,
// and dotted numbers as the version of a signed release (which an updater with a key compares).
// False with one English message in *error (may be null) otherwise; *out is then unchanged.
bool parseReleaseOptions(const QStringList &arguments, ReleaseOptions *out, QString *error);

} // namespace Updater::Release
