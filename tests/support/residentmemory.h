#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A process's resident memory in MiB, from /proc; -1 when it cannot be read (the process is gone).
inline double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.simplified().split(' ').value(1).toDouble() / 1024;
    return -1;
}
