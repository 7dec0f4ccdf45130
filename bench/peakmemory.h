#pragma once

#include <QByteArray>
#include <QFile>

// The benchmark drivers' peak memory: the process's peak resident set in KiB, or -1 where the
// system does not say (only Linux does here).
inline qint64 peakResidentKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
