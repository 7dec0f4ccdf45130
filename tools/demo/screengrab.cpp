// orvalink-screengrab OUT.png [WINDOW_ID]
// Saves a picture of an X window (by its id, as xdotool prints it) or of the whole screen as PNG.
// The demo uses it to capture the updater's window on a virtual display, where no person sees it.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // Grabbing needs a real display connection; offscreen or minimal would give an empty picture.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    QTextStream err(stderr);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        err << "Usage: orvalink-screengrab OUT.png [WINDOW_ID]\n";
        return 2;
    }

    bool validId = true;
    const WId window = arguments.size() == 3 ? arguments.at(2).toULongLong(&validId, 0) : 0;
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!validId || !screen) {
        err << "orvalink-screengrab: " << (validId ? "no screen to grab" : "not a window id")
            << "\n";
        return 1;
    }

    const QImage image = screen->grabWindow(window).toImage();
    if (image.isNull()) {
        err << "orvalink-screengrab: the grab gave no picture\n";
        return 1;
    }
    if (!image.save(arguments.at(1), "PNG")) {
        err << "orvalink-screengrab: cannot write " << arguments.at(1) << "\n";
        return 1;
    }
    QTextStream(stdout) << arguments.at(1) << " " << image.width() << "x" << image.height() << "\n";
    return 0;
}
