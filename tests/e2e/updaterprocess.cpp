#include "updaterprocess.h"

#include "e2eharness.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

    // Where the updater keeps its log and lock: beside the installation.
    const qsizetype installDir = arguments.indexOf(QStringLiteral("--install-dir")) + 1;
    if (installDir > 0 && installDir < arguments.size()) {
        const QDir parent = QFileInfo(arguments.at(installDir)).dir();
        m_logFile = parent.filePath(QStringLiteral(".orvalink-update.log"));
        m_lockFile = parent.filePath(QStringLiteral(".orvalink-update.lock"));
        m_logStart = QFileInfo(m_logFile).size();
    }

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

UpdaterProcess::End UpdaterProcess::waitForEnd(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(100))
            return End::Exited;
        if (failureLogged())
            return End::Failed;
        if (deadline.hasExpired())
            return End::Deadline;
    }
}

bool UpdaterProcess::waitForFailure(int timeoutMs)
{
    return waitForEnd(timeoutMs) == End::Failed;
}

bool UpdaterProcess::failureLogged() const
{
    QFile log(m_logFile);
    if (m_logFile.isEmpty() || !log.open(QIODevice::ReadOnly) || !log.seek(m_logStart))
        return false;
    const QString lines = QString::fromUtf8(log.readAll());
    if (!lines.contains(QStringLiteral(" Ошибка обновления\n"))
        && !lines.contains(QStringLiteral(" Ошибка обновления\r\n")))
        return false;
    // The updater holds the lock with flock(); a probe that gets it lets it go at once by closing.
    const int fd = ::open(QFile::encodeName(m_lockFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
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
