#include <glib.h>

#include "platform/xdgautostartloginitem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <memory>

namespace {

constexpr const char* entryGroup = G_KEY_FILE_DESKTOP_GROUP;

struct KeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

KeyFile entryFor(const QString& program)
{
    KeyFile file(g_key_file_new());
    const auto set = [&](const char* key, const QString& value) {
        g_key_file_set_string(file.get(), entryGroup, key, value.toUtf8().constData());
    };
    set(G_KEY_FILE_DESKTOP_KEY_TYPE, QStringLiteral(G_KEY_FILE_DESKTOP_TYPE_APPLICATION));
    set(G_KEY_FILE_DESKTOP_KEY_NAME, QStringLiteral("Quillora"));
    set(G_KEY_FILE_DESKTOP_KEY_COMMENT, QStringLiteral("Explain the selected text, or ask a question"));
    set(G_KEY_FILE_DESKTOP_KEY_EXEC, XdgAutostartLoginItem::execArgument(program));
    set(G_KEY_FILE_DESKTOP_KEY_ICON, XdgAutostartLoginItem::appId);
    g_key_file_set_boolean(file.get(), entryGroup, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
    g_key_file_set_boolean(file.get(), entryGroup, "X-GNOME-Autostart-enabled", TRUE);
    return file;
}

// False when the key is absent or not a boolean.
bool isFalse(GKeyFile* file, const char* key)
{
    GError* error = nullptr;
    const gboolean value = g_key_file_get_boolean(file, entryGroup, key, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return !value;
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

QString XdgAutostartLoginItem::program() const { return QFileInfo(m_program).canonicalFilePath(); }

LoginItem::Status XdgAutostartLoginItem::status() const
{
    if (!isInstalledProgram())
        return Status::NotFound;
    KeyFile entry(g_key_file_new());
    if (!g_key_file_load_from_file(entry.get(), QFile::encodeName(entryPath()).constData(), G_KEY_FILE_NONE, nullptr))
        return Status::NotRegistered;
    const bool disabled = g_key_file_get_boolean(entry.get(), entryGroup, G_KEY_FILE_DESKTOP_KEY_HIDDEN, nullptr)
        || isFalse(entry.get(), "X-GNOME-Autostart-enabled");
    // An entry for another copy of the program (moved, or a second prefix) does not start this one.
    gchar* exec = g_key_file_get_string(entry.get(), entryGroup, G_KEY_FILE_DESKTOP_KEY_EXEC, nullptr);
    const bool ours = exec && QString::fromUtf8(exec) == execArgument(QFileInfo(m_program).canonicalFilePath());
    g_free(exec);
    return !disabled && ours ? Status::Enabled : Status::NotRegistered;
}

bool XdgAutostartLoginItem::registerItem()
{
    if (!isInstalledProgram())
        return false;
    if (!QDir().mkpath(QFileInfo(entryPath()).path()))
        return false;
    // Written to a temporary file that then replaces the entry, so a reader never sees half of it.
    const KeyFile entry = entryFor(QFileInfo(m_program).canonicalFilePath());
    return g_key_file_save_to_file(entry.get(), QFile::encodeName(entryPath()).constData(), nullptr);
}

bool XdgAutostartLoginItem::unregisterItem()
{
    QFile file(entryPath());
    return !file.exists() || file.remove();
}

QString XdgAutostartLoginItem::execArgument(const QString& program)
{
    // Arguments with reserved characters are quoted, and inside quotes ", `, $ and \ take a backslash. A
    // literal % is written %%.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString value = program;
    value.replace(u'%', QStringLiteral("%%"));
    if (std::none_of(value.cbegin(), value.cend(), [](QChar c) { return reserved.contains(c); }))
        return value;
    QString quoted;
    for (const QChar c : std::as_const(value)) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    return u'"' + quoted + u'"';
}
