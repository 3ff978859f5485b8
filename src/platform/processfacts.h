#pragma once

#include <QString>
#include <QStringList>

// What /proc tells about another process of the user's, as hints to which application it is. Each read is
// one small file of the kernel's, bounded in size.
namespace ProcessFacts {

// Flatpak places each application in a cgroup scope named after its id; "" when it is not a Flatpak.
QString flatpakIdOf(qint64 pid);

// The ids a launcher may have named the process's systemd unit after (app-[<launcher>-]<id>-<n>.scope or
// app-[<launcher>-]<id>@<n>.service), longest first; empty when it runs in no such unit.
QStringList launchedIdsOf(qint64 pid);

// The process's command name (at most 15 characters, as the kernel keeps it).
QString commandOf(qint64 pid);

} // namespace ProcessFacts
