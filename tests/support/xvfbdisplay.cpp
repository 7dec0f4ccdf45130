#include "xvfbdisplay.h"

#include "testfiles.h"

#include <QDir>
#include <QFile>

namespace TestSupport {

XvfbDisplay::~XvfbDisplay()
{
    stop();
}

bool XvfbDisplay::start(const QString &stateDir, QString *error)
{
    const QString numberFile = QDir(stateDir).filePath(QStringLiteral("display-number"));
    QFile::remove(numberFile);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // Xvfb writes the display number it chose to descriptor 3, which the shell points at a file.
    m_process.start(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>\"$0\""),
         numberFile});
    if (!m_process.waitForStarted(eventDeadlineMs)) {
        *error = QStringLiteral("Xvfb does not start: %1").arg(m_process.errorString());
        return false;
    }
    const bool reported = waitUntil([&] {
        return readFile(numberFile).endsWith('\n') || m_process.state() != QProcess::Running;
    });
    const QByteArray number = readFile(numberFile).trimmed();
    if (!reported || number.isEmpty() || m_process.state() != QProcess::Running) {
        *error = QStringLiteral("Xvfb reported no display: %1")
                     .arg(QString::fromLocal8Bit(m_process.readAll()));
        stop();
        return false;
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(number);
    return true;
}

void XvfbDisplay::stop()
{
    stopProcess(&m_process);
}

} // namespace TestSupport
