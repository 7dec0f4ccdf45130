#include "e2eharness.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace E2e {

QString binDir()
{
    const QString fromEnvironment = qEnvironmentVariable("UPDATER_BIN_DIR");
    return fromEnvironment.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnvironment;
}

QString updaterPath()
{
    return QDir(binDir()).filePath(QStringLiteral("OrvalinkUpdater"));
}

QString artifactDir()
{
    const QString dir = QDir(binDir()).filePath(QStringLiteral("../e2e-artifacts"));
    QDir().mkpath(dir);
    return QDir::cleanPath(dir);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

bool writeExecutable(const QString &path, const QByteArray &content)
{
    if (!writeFile(path, content))
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                           | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                           | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                           | QFileDevice::ExeOther);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool runCommand(const QString &program, const QStringList &arguments, QString *output,
                const QString &workingDirectory, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    const bool finished = process.waitForStarted(timeoutMs) && process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool zipTree(const QString &sourceDir, const QString &zipPath, QString *error)
{
    QFile::remove(zipPath);
    QDir().mkpath(QFileInfo(zipPath).absolutePath());
    // -y keeps symbolic links as links; -X leaves out the uid/gid extra fields.
    QStringList arguments{QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-y"),
                          QStringLiteral("-X")};
    arguments << QFileInfo(zipPath).absoluteFilePath() << QStringLiteral(".");
    QString output;
    if (runCommand(QStringLiteral("zip"), arguments, &output, sourceDir))
        return true;
    if (error)
        *error = QStringLiteral("zip failed: %1").arg(output);
    return false;
}

bool appendToZip(const QString &sourceDir, const QStringList &entries, const QString &zipPath, QString *error)
{
    QStringList arguments{QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-y"), QStringLiteral("-X"),
                          QStringLiteral("-0"), QFileInfo(zipPath).absoluteFilePath()};
    arguments << entries;
    QString output;
    if (runCommand(QStringLiteral("zip"), arguments, &output, sourceDir))
        return true;
    if (error)
        *error = QStringLiteral("zip failed: %1").arg(output);
    return false;
}

bool patchZipNames(const QString &zipPath, const QByteArray &from, const QByteArray &to)
{
    if (from.size() != to.size())
        return false;
    QByteArray bytes = readFile(zipPath);
    if (!bytes.contains(from))
        return false;
    bytes.replace(from, to);
    return writeFile(zipPath, bytes);
}

QString sha256OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray fakeClientScript(const QString &label, const QString &logPath)
{
    QString quotedLog = logPath;
    quotedLog.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QStringLiteral("#!/bin/sh\n"
                          "log='%1'\n"
                          "echo \"%2 started\" >> \"$log\"\n"
                          "if [ \"$1\" = --stay ]; then\n"
                          "    sleep \"$2\"\n"
                          "    echo \"%2 exited\" >> \"$log\"\n"
                          "fi\n")
        .arg(quotedLog, label)
        .toUtf8();
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(50);
    }
    return true;
}

void stopProcess(QProcess *process)
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(5000);
    }
}

} // namespace E2e
