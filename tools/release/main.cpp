#include "tools/release/releasebuilder.h"
#include "tools/release/releaseoptions.h"

#include <QCoreApplication>
#include <QTextStream>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <langinfo.h>

using namespace Updater::Release;

int main(int argc, char *argv[])
{
    // Zip keeps entry times as local time; running in UTC makes the package's bytes the same
    // wherever it is built.
    qputenv("TZ", "UTC");
    tzset();

    QCoreApplication application(argc, argv);
    // libarchive converts entry names through the C library's character set; in a C or POSIX
    // locale names outside ASCII would be refused, though Qt and the package both use UTF-8.
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
    QTextStream out(stdout);
    QTextStream err(stderr);

    ReleaseOptions options;
    QString error;
    if (!parseReleaseOptions(QCoreApplication::arguments().mid(1), &options, &error)) {
        err << "orvalink-release: " << error << "\n\n" << releaseUsage();
        return 2;
    }
    if (options.helpRequested) {
        out << releaseUsage();
        return 0;
    }

    ReleaseSummary summary;
    if (!buildRelease(options, &summary, &error)) {
        err << "orvalink-release: " << error << "\nNothing was published.\n";
        return 1;
    }

    out << "Published " << options.version << " (" << options.channel << ")\n"
        << "  package:  " << summary.packagePath << " (" << summary.packageSize << " bytes, "
        << summary.entryCount << " entries)\n"
        << "  sha256:   " << summary.packageSha256 << "\n"
        << "  manifest: " << summary.manifestPath << "\n"
        << "  url:      " << options.packageUrl << "\n";
    for (const QString &name : std::as_const(summary.deltaFiles))
        out << "  delta:    " << name << "\n";
    if (!summary.deltaNote.isEmpty())
        out << summary.deltaNote << "\n";
    if (!summary.signaturePath.isEmpty())
        out << "  signature: " << summary.signaturePath << " (key " << summary.signingKeyId
            << ")\n";
    else
        out << "Not signed: an updater built with a release key refuses it. To sign it:\n  "
            << summary.signCommand << "\n";
    return 0;
}
