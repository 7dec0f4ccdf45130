// Driver of bench/extract.sh:
//   extractbench PACKAGE DESTINATION
// unpacks PACKAGE into DESTINATION (created when missing; it must be empty) with the updater's
// own extraction and prints, on one line, extract_ms=N peak_rss_kib=N (-1 where the system does
// not say). Exit code 0 on success, 1 when the extraction failed (its message is printed), 2 on
// bad usage.
#include "peakmemory.h"
#include "worker/packageextraction.h"

#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: extractbench PACKAGE DESTINATION\n");
        return 2;
    }
    const QString package = QString::fromLocal8Bit(argv[1]);
    const QString destination = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(destination);

    QElapsedTimer timer;
    timer.start();
    QString error;
    if (!Updater::extractPackageFile(package, destination, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("extract_ms=%lld peak_rss_kib=%lld\n", timer.elapsed(), peakResidentKib());
    return 0;
}
