#pragma once

#include <QProcess>
#include <QString>

namespace TestSupport {

// A private Xvfb server on a display number it picks itself (-displayfd). Stopped on
// destruction. Test thread only.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    // stateDir receives the file through which Xvfb reports its display number.
    bool start(const QString &stateDir, QString *error);
    void stop();
    // ":N"
    QString display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

} // namespace TestSupport
