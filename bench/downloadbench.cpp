// Driver of bench/download.sh. Two modes:
//   downloadbench --manifest-url URL --install-dir DIR
//       runs the updater's online steps as the program does (manifest check, download into
//       DIR's staging directory, digest check) and prints, on one line,
//       download_ms=N verify_ms=N peak_rss_kib=N
//       The installation that would follow is not measured.
//   downloadbench --hash FILE
//       prints hash_ms=N digest=HEX for sha256OfFile(FILE).
// Exit code 0 on success, 1 when a step failed (its message is printed), 2 on bad usage.
#include "install/staginglayout.h"
#include "peakmemory.h"
#include "source/manifestfetch.h"
#include "source/packagedownload.h"
#include "source/packagehash.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

int failed(const QString &error)
{
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}

int hashFile(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    QString error;
    const QString digest = Updater::sha256OfFile(path, &error);
    const qint64 elapsed = clock.elapsed();
    if (digest.isEmpty())
        return failed(error);
    std::printf("hash_ms=%lld digest=%s\n", static_cast<long long>(elapsed), qPrintable(digest));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--hash"))
        return hashFile(arguments.at(2));

    const auto valueOf = [&arguments](const char *name) {
        const int at = arguments.indexOf(QLatin1String(name));
        return at >= 0 ? arguments.value(at + 1) : QString();
    };
    const QString manifestUrl = valueOf("--manifest-url");
    const QString installDir = valueOf("--install-dir");
    if (manifestUrl.isEmpty() || installDir.isEmpty()) {
        std::fprintf(stderr,
                     "usage: downloadbench --manifest-url URL --install-dir DIR | --hash FILE\n");
        return 2;
    }

    QString error;
    Updater::UpdateManifest manifest;
    if (!Updater::fetchUpdateManifest(manifestUrl, QStringLiteral("0"), nullptr, &manifest, &error))
        return failed(error);

    const QString packagePath = Updater::StagingLayout(installDir).packageFile();
    QElapsedTimer clock;
    clock.start();
    if (!Updater::downloadPackage(manifest.packageUrl, packagePath, manifest.packageSize, {},
                                  nullptr, &error))
        return failed(error);
    const qint64 downloaded = clock.elapsed();
    if (!Updater::verifyPackageHash(packagePath, manifest.packageHash, &error))
        return failed(error);
    const qint64 verified = clock.elapsed();

    std::printf("download_ms=%lld verify_ms=%lld peak_rss_kib=%lld\n",
                static_cast<long long>(downloaded), static_cast<long long>(verified - downloaded),
                static_cast<long long>(peakResidentKib()));
    return 0;
}
