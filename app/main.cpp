#include "app/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    int exitCode = 0;
    {
        QApplication application(argc, argv);
        exitCode = Updater::runUpdater(QCoreApplication::arguments());
    }
    return exitCode;
}
