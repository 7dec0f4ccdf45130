#include "e2eharness.h"

#include <QDir>
#include <QFileInfo>

namespace E2e {

QString updaterPath()
{
    return QDir(binDir()).filePath(QStringLiteral("OrvalinkUpdater"));
}

bool appendToZip(const QString &sourceDir, const QStringList &entries, const QString &zipPath,
                 QString *error)
{
    QStringList arguments{QStringLiteral("-r"), QStringLiteral("-q"),
                          QStringLiteral("-y"), QStringLiteral("-X"),
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

QByteArray fakeClientScript(const QString &label, const QString &logPath)
{
    QString quotedLog = logPath;
    quotedLog.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QStringLiteral("#!/bin/sh\n"
                          "log='%1'\n"
                          "echo \"%2 started\" >> \"$log\"\n"
                          "if [ \"$1\" = --stay ]; then\n"
                          "    trap 'kill $!; echo \"%2 closed\" >> \"$log\"; exit 0' TERM\n"
                          "    sleep \"$2\" & wait\n"
                          "    echo \"%2 exited\" >> \"$log\"\n"
                          "elif [ \"$1\" = --until ]; then\n"
                          "    while [ ! -e \"$2\" ]; do sleep 0.05; done\n"
                          "    echo \"%2 exited\" >> \"$log\"\n"
                          "fi\n")
        .arg(quotedLog, label)
        .toUtf8();
}

} // namespace E2e
