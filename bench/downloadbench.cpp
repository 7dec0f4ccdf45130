// Driver of bench/download.sh. Two modes:
//   downloadbench --manifest-url URL --install-dir DIR
//       runs the updater window's online steps as the program does (manifest check, download
//       into DIR's staging directory, digest check) and prints, on one line,
//       download_ms=N verify_ms=N peak_rss_kib=N
//       then ends at once, at the hand-over to the worker: the installation is not measured.
//   downloadbench --hash FILE
//       prints hash_ms=N digest=HEX for sha256OfFile(FILE).
// Exit code 0 on success, 1 when the run failed (the window's log is printed), 2 on bad usage.
#include "app/updateroptions.h"
#include "source/packagehash.h"
#include "ui/updaterwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

qint64 peakResidentKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int hashFile(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    QString error;
    const QString digest = Updater::sha256OfFile(path, &error);
    const qint64 elapsed = clock.elapsed();
    if (digest.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("hash_ms=%lld digest=%s\n", static_cast<long long>(elapsed), qPrintable(digest));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--hash") == 0) {
        QCoreApplication application(argc, argv);
        return hashFile(QCoreApplication::arguments().at(2));
    }

    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();

    Updater::UpdaterOptions options = Updater::parseOptions(arguments);
    options.currentVersion = QStringLiteral("bench");
    if (options.manifestUrl.isEmpty() || options.installDir.isEmpty()) {
        std::fprintf(stderr, "usage: downloadbench --manifest-url URL --install-dir DIR | --hash FILE\n");
        return 2;
    }

    Updater::UpdaterWindow window(options);
    auto *bar = window.findChild<QProgressBar *>();
    QElapsedTimer clock;
    clock.start();
    qint64 downloadStarted = -1;
    qint64 downloadEnded = -1;
    // The bar marks the phases: 10 when the download begins, 70 once its last byte is on disk (the
    // size is announced), 75 once the digest has been checked and the worker is about to start.
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        if (value == 10 && downloadStarted < 0) {
            downloadStarted = clock.elapsed();
        } else if (value == 70) {
            downloadEnded = clock.elapsed();
        } else if (value == 75) {
            const qint64 verified = clock.elapsed();
            std::printf("download_ms=%lld verify_ms=%lld peak_rss_kib=%lld\n",
                        static_cast<long long>(downloadEnded - downloadStarted),
                        static_cast<long long>(verified - downloadEnded),
                        static_cast<long long>(peakResidentKib()));
            std::fflush(stdout);
            // The measured part is over; the installation that would follow is not ours to run.
            std::_Exit(0);
        }
    });

    // A failed run ends with the close button enabled and the reason in the log.
    auto *closeButton = window.findChild<QPushButton *>();
    QTimer failureCheck;
    QObject::connect(&failureCheck, &QTimer::timeout, [&] {
        if (closeButton->isEnabled()) {
            std::fprintf(stderr, "%s\n", qPrintable(window.findChild<QPlainTextEdit *>()->toPlainText()));
            std::_Exit(1);
        }
    });
    failureCheck.start(100);

    window.show();
    return QApplication::exec();
}
