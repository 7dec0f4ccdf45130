#pragma once

#include "testfiles.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace E2e {

// The built OrvalinkUpdater run as a separate process, headless (offscreen) unless a display is
// given, with its own folder (where the built stand-ins for the Windows programs are) first on its
// PATH. Killed on
// destruction when it still runs. Test thread only.
class UpdaterProcess
{
public:
    UpdaterProcess();
    ~UpdaterProcess();

    UpdaterProcess(const UpdaterProcess &) = delete;
    UpdaterProcess &operator=(const UpdaterProcess &) = delete;

    // Runs the updater in a private mount namespace whose /etc/ssl/certs is the given folder,
    // so that it trusts the test CA (Qt reads its CA certificates only from the system's folder).
    void setTrustedCertificates(const QString &folder);
    void setWorkingDirectory(const QString &dir);
    // Runs it on an X display instead of the offscreen platform.
    void setDisplay(const QString &display);
    // Runs it through a program that execs it with its arguments appended, such as setpriv to run
    // it as another user. Not together with setTrustedCertificates.
    void setLauncher(const QStringList &launcher);

    void setEnvironmentValue(const QString &name, const QString &value);
    // Runs program (a build of the updater with other release keys) instead of OrvalinkUpdater.
    void setProgram(const QString &program);

    bool start(const QStringList &arguments, QString *error);

    // True when the process ended within timeoutMs.
    bool waitForExit(int timeoutMs = TestSupport::eventDeadlineMs);
    // True when the process is still running after stayMs: what a failed update looks like, since
    // the window then waits for the user.
    bool staysRunningFor(int stayMs);
    bool isRunning() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    // SIGKILL, then waits for the process to be gone.
    void kill();

    // Whatever the process printed (Qt's own warnings), for diagnostics.
    QString output();

private:
    QProcess m_process;
    QString m_program;
    QString m_trustedCertificates;
    QString m_display;
    QStringList m_launcher;
    QString m_output;
    QList<QPair<QString, QString>> m_environment;
};

} // namespace E2e
