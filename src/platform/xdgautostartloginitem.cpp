#include "platform/xdgautostartloginitem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

QString entryText(const QString& program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillora\n"
                          "Comment=Explain the selected text, or ask a question\n"
                          "Exec=%1\n"
                          "Icon=%2\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(XdgAutostartLoginItem::execValue(program), XdgAutostartLoginItem::appId);
}

// The entry's keys, read without QSettings' INI quirks (it would unescape and split on commas).
QString entryValue(const QByteArray& entry, const QByteArray& key)
{
    for (const QByteArray& line : entry.split('\n')) {
        if (line.startsWith(key + '='))
            return QString::fromUtf8(line.mid(key.size() + 1)).trimmed();
    }
    return {};
}

bool isWithin(const QString& path, const QString& folder)
{
    const QString root = QDir::cleanPath(folder);
    return !root.isEmpty() && (path == root || path.startsWith(root + u'/'));
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(
    const QString& program, const QString& configHome, const QString& temporaryRoot)
    : m_program(program.isEmpty() ? QCoreApplication::applicationFilePath() : program)
    , m_configHome(
          configHome.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : configHome)
    , m_temporaryRoot(temporaryRoot.isEmpty() ? QDir::tempPath() : temporaryRoot)
{
}

QString XdgAutostartLoginItem::entryPath() const
{
    return m_configHome + QStringLiteral("/autostart/") + appId + QStringLiteral(".desktop");
}

bool XdgAutostartLoginItem::isInstalledProgram() const
{
    const QFileInfo program(m_program);
    const QString path = program.canonicalFilePath();
    // A line break cannot be written into an Exec value at all.
    if (path.isEmpty() || !program.isExecutable() || path.contains(u'\n') || path.contains(u'\r'))
        return false;
    if (isWithin(path, QFileInfo(m_temporaryRoot).canonicalFilePath()) || isWithin(path, m_temporaryRoot))
        return false;
    const QString installedEntry = QStringLiteral("/../share/applications/") + appId + QStringLiteral(".desktop");
    return QFileInfo::exists(program.canonicalPath() + installedEntry);
}

LoginItem::Status XdgAutostartLoginItem::status() const
{
    if (!isInstalledProgram())
        return Status::NotFound;
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return Status::NotRegistered;
    const QByteArray entry = file.read(64 * 1024);
    const bool disabled = entryValue(entry, "Hidden") == QLatin1String("true")
        || entryValue(entry, "X-GNOME-Autostart-enabled") == QLatin1String("false");
    // An entry for another copy of the program (moved, or a second prefix) does not start this one.
    const bool ours = entryValue(entry, "Exec") == execValue(QFileInfo(m_program).canonicalFilePath());
    return !disabled && ours ? Status::Enabled : Status::NotRegistered;
}

bool XdgAutostartLoginItem::registerItem()
{
    if (!isInstalledProgram())
        return false;
    if (!QDir().mkpath(QFileInfo(entryPath()).path()))
        return false;
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(entryText(QFileInfo(m_program).canonicalFilePath()).toUtf8());
    return file.commit();
}

bool XdgAutostartLoginItem::unregisterItem()
{
    QFile file(entryPath());
    return !file.exists() || file.remove();
}

QString XdgAutostartLoginItem::execValue(const QString& program)
{
    // Arguments with reserved characters are quoted, and inside quotes ", `, $ and \ take a backslash; the
    // entry's own string escaping then doubles every backslash. A literal % is written %%.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString value = program;
    value.replace(u'%', QStringLiteral("%%"));
    if (std::none_of(value.cbegin(), value.cend(), [](QChar c) { return reserved.contains(c); }))
        return value;
    QString quoted;
    for (const QChar c : std::as_const(value)) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QStringLiteral("\\\\");
        else if (c == u'\\')
            quoted += QStringLiteral("\\\\\\");
        quoted += c;
    }
    return u'"' + quoted + u'"';
}
