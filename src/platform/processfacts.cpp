#include "platform/processfacts.h"

#include <QFile>
#include <QRegularExpression>

namespace ProcessFacts {
namespace {

constexpr qint64 maximumFileSize = 16 * 1024;

QString procFile(qint64 pid, const char* name)
{
    if (pid <= 0)
        return {};
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1StringView(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(maximumFileSize));
}

} // namespace

QString flatpakIdOf(qint64 pid)
{
    static const QRegularExpression scope(QStringLiteral("app-flatpak-([A-Za-z0-9_.-]+)-[0-9]+\\.scope"));
    const QRegularExpressionMatch match = scope.match(procFile(pid, "cgroup"));
    return match.hasMatch() ? match.captured(1) : QString();
}

QStringList launchedIdsOf(qint64 pid)
{
    static const QRegularExpression unit(QStringLiteral("/app-([^/@]+?)(?:-[0-9a-f]+\\.scope|@[^/]*\\.service)"));
    const QRegularExpressionMatch match = unit.match(procFile(pid, "cgroup"));
    if (!match.hasMatch())
        return {};
    // systemd writes a "-" inside a name as \x2d; the launcher's name, if any, is cut off at the plain ones.
    const QStringList parts = match.captured(1).split(u'-', Qt::SkipEmptyParts);
    QStringList ids;
    for (qsizetype first = 0; first < parts.size() && ids.size() < 4; ++first)
        ids.append(parts.mid(first).join(u'-').replace(QStringLiteral("\\x2d"), QStringLiteral("-")));
    return ids;
}

QString commandOf(qint64 pid) { return procFile(pid, "comm").trimmed(); }

} // namespace ProcessFacts
