#include "testfiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <unistd.h>

namespace TestSupport {

QString binDir()
{
    const QString fromEnvironment = qEnvironmentVariable("UPDATER_BIN_DIR");
    return fromEnvironment.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnvironment;
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

bool writeTree(const QString &dir, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(QDir(dir).filePath(it.key()), it.value()))
            return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

bool makeLink(const QString &target, const QString &link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData())
           == 0;
}

QByteArray linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QByteArray() : QByteArray(buffer, static_cast<int>(length));
}

QStringList listing(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString relative = QDir(dir).relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            relative += QLatin1Char('/');
        entries << relative;
    }
    entries.sort();
    return entries;
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

} // namespace TestSupport
