#include "updaterprocess.h"

#include "e2eharness.h"

#include <QFileInfo>
#include <QProcessEnvironment>

namespace E2e {

UpdaterProcess::UpdaterProcess()
    : m_program(updaterPath())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

UpdaterProcess::~UpdaterProcess()
{
    kill();
}

void UpdaterProcess::setTrustedCertificates(const QString &folder)
{
    m_trustedCertificates = folder;
}

void UpdaterProcess::setWorkingDirectory(const QString &dir)
{
    m_process.setWorkingDirectory(dir);
}

void UpdaterProcess::setDisplay(const QString &display)
{
    m_display = display;
}

void UpdaterProcess::setProgram(const QString &program)
{
    m_program = program;
}

void UpdaterProcess::setLauncher(const QStringList &launcher)
{
    m_launcher = launcher;
}

void UpdaterProcess::setEnvironmentValue(const QString &name, const QString &value)
{
    m_environment.append({name, value});
}

bool UpdaterProcess::start(const QStringList &arguments, QString *error)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (m_display.isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("DISPLAY"), m_display);
    }
    for (const auto &setting : std::as_const(m_environment))
        environment.insert(setting.first, setting.second);
    environment.insert(QStringLiteral("PATH"), QFileInfo(m_program).absolutePath()
                                                   + QLatin1Char(':')
                                                   + environment.value(QStringLiteral("PATH")));
    m_process.setProcessEnvironment(environment);

    if (!m_launcher.isEmpty()) {
        m_process.start(m_launcher.first(), m_launcher.mid(1) << m_program << arguments);
    } else if (m_trustedCertificates.isEmpty()) {
        m_process.start(m_program, arguments);
    } else {
        // sh execs the updater, so the process id stays the updater's own.
        QStringList wrapped{
            QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
            QStringLiteral("mount --bind \"$E2E_TRUSTED\" /etc/ssl/certs && exec \"$0\" \"$@\""),
            m_program};
        wrapped << arguments;
        environment.insert(QStringLiteral("E2E_TRUSTED"), m_trustedCertificates);
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral("unshare"), wrapped);
    }
    if (!m_process.waitForStarted(eventDeadlineMs)) {
        *error = QStringLiteral("the updater does not start: %1").arg(m_process.errorString());
        return false;
    }
    return true;
}

bool UpdaterProcess::waitForExit(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    return m_process.waitForFinished(timeoutMs);
}

bool UpdaterProcess::staysRunningFor(int stayMs)
{
    return !m_process.waitForFinished(stayMs) && m_process.state() == QProcess::Running;
}

bool UpdaterProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

int UpdaterProcess::exitCode() const
{
    return m_process.exitCode();
}

QProcess::ExitStatus UpdaterProcess::exitStatus() const
{
    return m_process.exitStatus();
}

void UpdaterProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

QString UpdaterProcess::output()
{
    m_output += QString::fromLocal8Bit(m_process.readAll());
    return m_output;
}

} // namespace E2e
