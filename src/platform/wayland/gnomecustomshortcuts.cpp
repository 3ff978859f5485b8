// GIO first: its headers name a member `signals`, which Qt's headers make a keyword.
#include <gio/gio.h>

#include "platform/wayland/gnomecustomshortcuts.h"

#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct SchemaUnref {
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct SourceUnref {
    void operator()(GSettingsSchemaSource* source) const { g_settings_schema_source_unref(source); }
};
struct StrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};
using Settings = std::unique_ptr<GSettings, ObjectUnref>;
using Schema = std::unique_ptr<GSettingsSchema, SchemaUnref>;
using Strv = std::unique_ptr<gchar*, StrvFree>;

// The other places GNOME binds keys (Debian 12: the window manager's in gsettings-desktop-schemas, the shell's
// and mutter's in their -common packages); a schema that is not installed is passed over.
constexpr const char* keybindingSchemas[] = { "org.gnome.desktop.wm.keybindings", "org.gnome.shell.keybindings",
    "org.gnome.mutter.keybindings", "org.gnome.mutter.wayland.keybindings", GnomeCustomShortcuts::listSchemaId };
// A key of those schemas holds a few accelerators at most.
constexpr guint maximumAcceleratorsPerKey = 16;
constexpr qsizetype maximumPathLength = 512;
constexpr const char* entryKeys[] = { "name", "command", "binding" };

// A main context of the call's own, the thread's default while the call lasts: the settings objects made in
// the call deliver their change notifications there, and it is drained before it goes.
class PrivateContext {
public:
    PrivateContext()
        : m_context(g_main_context_new())
    {
        g_main_context_push_thread_default(m_context);
    }
    ~PrivateContext()
    {
        // A queued notification holds a reference to its settings object; bounded, it only empties a queue.
        for (int i = 0; i < 1000 && g_main_context_iteration(m_context, FALSE); ++i) { }
        g_main_context_pop_thread_default(m_context);
        g_main_context_unref(m_context);
    }
    PrivateContext(const PrivateContext&) = delete;
    PrivateContext& operator=(const PrivateContext&) = delete;

private:
    GMainContext* m_context;
};

QString fromUtf8(const char* text) { return QString::fromUtf8(text ? text : ""); }

QString stringOf(GSettings* settings, const char* key)
{
    gchar* value = g_settings_get_string(settings, key);
    const QString text = fromUtf8(value);
    g_free(value);
    return text;
}

// One entry of the list, as found under its path.
struct Entry {
    QByteArray path;
    QString name;
    QString command;
    QString binding;
};

// An accelerator compared by meaning: "<Alt>x", "<Mod1>X" and "<alt>x" are one key.
struct Accelerator {
    QStringList modifiers; // sorted, canonical names
    QString key; // lower case
    bool operator==(const Accelerator&) const = default;
};

std::optional<Accelerator> parseAccelerator(QString text)
{
    text = text.trimmed();
    Accelerator accelerator;
    while (text.startsWith(u'<')) {
        const qsizetype end = text.indexOf(u'>');
        if (end < 0)
            return std::nullopt;
        QString name = text.mid(1, end - 1).toLower();
        if (name == u"mod1")
            name = QStringLiteral("alt");
        else if (name == u"ctrl" || name == u"ctl" || name == u"primary")
            name = QStringLiteral("control");
        else if (name == u"shft")
            name = QStringLiteral("shift");
        else if (name == u"mod4")
            name = QStringLiteral("super");
        if (!accelerator.modifiers.contains(name))
            accelerator.modifiers.append(name);
        text = text.mid(end + 1);
    }
    accelerator.key = text.toLower();
    if (accelerator.key.isEmpty() || accelerator.key == u"disabled")
        return std::nullopt;
    accelerator.modifiers.sort();
    return accelerator;
}

// dconf's rules for a path, and nothing a shell or a log would choke on.
bool isSettingsPath(const QByteArray& path)
{
    static const QRegularExpression allowed(QStringLiteral("^/([A-Za-z0-9_.-]+/)+$"));
    return path.size() <= maximumPathLength && allowed.match(QString::fromLatin1(path)).hasMatch();
}

// Whether an entry runs the shortcut's command: the same program by name (wherever it is installed) and the
// same option, nothing more.
bool runs(const Entry& entry, const GnomeCustomShortcuts::Shortcut& shortcut)
{
    const QByteArray command = entry.command.toUtf8();
    gint argc = 0;
    gchar** argv = nullptr;
    if (command.isEmpty() || !g_shell_parse_argv(command.constData(), &argc, &argv, nullptr))
        return false;
    const Strv arguments(argv);
    return argc == 2 && fromUtf8(argv[0]).section(u'/', -1) == shortcut.program.section(u'/', -1)
        && fromUtf8(argv[1]) == shortcut.option;
}

QString shown(QString text)
{
    text.replace(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]")), QStringLiteral(" "));
    return text.size() > 40 ? text.left(39) + u'…' : text;
}

bool hasKey(GSettingsSchema* schema, const char* name, const GVariantType* type)
{
    if (!g_settings_schema_has_key(schema, name))
        return false;
    GSettingsSchemaKey* key = g_settings_schema_get_key(schema, name);
    const bool typed = g_variant_type_equal(g_settings_schema_key_get_value_type(key), type);
    g_settings_schema_key_unref(key);
    return typed;
}

// The schemas and the list, opened under the caller's context.
class Store {
public:
    // Null, with *problem set, when the schemas are not there.
    static std::unique_ptr<Store> open(const QString& directory, QString* problem)
    {
        auto store = std::unique_ptr<Store>(new Store);
        if (directory.isEmpty()) {
            // A system without any compiled schemas has no default source.
            if (GSettingsSchemaSource* system = g_settings_schema_source_get_default())
                store->m_source.reset(g_settings_schema_source_ref(system));
        } else {
            store->m_source.reset(
                g_settings_schema_source_new_from_directory(directory.toUtf8().constData(), nullptr, FALSE, nullptr));
        }
        if (GSettingsSchemaSource* source = store->m_source.get()) {
            store->m_listSchema.reset(g_settings_schema_source_lookup(source, listSchemaId(), TRUE));
            store->m_entrySchema.reset(g_settings_schema_source_lookup(source, entrySchemaId(), TRUE));
        }
        // GIO aborts on a key its schema lacks: every key used is checked for first, with its type.
        const bool complete = store->m_listSchema && store->m_entrySchema
            && hasKey(store->m_listSchema.get(), GnomeCustomShortcuts::listKey, G_VARIANT_TYPE_STRING_ARRAY)
            && std::all_of(std::begin(entryKeys), std::end(entryKeys),
                [&](const char* key) { return hasKey(store->m_entrySchema.get(), key, G_VARIANT_TYPE_STRING); });
        if (!complete) {
            *problem = QStringLiteral("GNOME's keyboard shortcut settings are not installed on this system.");
            return nullptr;
        }
        store->m_list.reset(g_settings_new_full(store->m_listSchema.get(), nullptr, nullptr));
        return store;
    }

    GSettings* list() const { return m_list.get(); }
    Settings entryAt(const QByteArray& path) const
    {
        return Settings(g_settings_new_full(m_entrySchema.get(), nullptr, path.constData()));
    }
    // A schema of fixed path by id, or null when it is not installed.
    Schema schema(const char* id) const
    {
        Schema schema(g_settings_schema_source_lookup(m_source.get(), id, TRUE));
        if (schema && !g_settings_schema_get_path(schema.get()))
            schema.reset();
        return schema;
    }

    // Everything in the list, in order; false, with *problem set, when it holds more than we keep or a string
    // that is no path (then nothing else was read).
    bool readList(QList<QByteArray>* paths, QList<Entry>* entries, QString* problem) const
    {
        const Strv strings(g_settings_get_strv(m_list.get(), GnomeCustomShortcuts::listKey));
        const guint count = g_strv_length(strings.get());
        if (count > guint(GnomeCustomShortcuts::maximumEntries)) {
            *problem = QStringLiteral("Your GNOME custom shortcuts list has %1 entries, more than Quillora changes "
                                      "(%2); set the keys up in GNOME's Settings, Keyboard, instead.")
                           .arg(count)
                           .arg(GnomeCustomShortcuts::maximumEntries);
            return false;
        }
        for (guint i = 0; i < count; ++i) {
            const QByteArray path(strings.get()[i]);
            if (!isSettingsPath(path)) {
                *problem = QStringLiteral("Your GNOME custom shortcuts list holds “%1”, which is not a settings "
                                          "path; Quillora leaves the list as it is. Set the keys up in GNOME's "
                                          "Settings, Keyboard, instead.")
                               .arg(shown(QString::fromUtf8(path)));
                return false;
            }
            paths->append(path);
        }
        QSet<QByteArray> seen;
        for (const QByteArray& path : std::as_const(*paths)) {
            if (seen.contains(path))
                continue;
            seen.insert(path);
            const Settings entry = entryAt(path);
            entries->append({ path, stringOf(entry.get(), "name"), stringOf(entry.get(), "command"),
                stringOf(entry.get(), "binding") });
        }
        return true;
    }

    // What holds the key elsewhere in GNOME, by the name the user knows it by; empty when nothing does.
    QString holderOf(const Accelerator& accelerator, const QList<Entry>& others) const
    {
        for (const Entry& entry : others) {
            if (parseAccelerator(entry.binding) == accelerator)
                return shown(!entry.name.isEmpty() ? entry.name : entry.command);
        }
        for (const char* id : keybindingSchemas) {
            const Schema schema = this->schema(id);
            if (!schema)
                continue;
            const Settings settings(g_settings_new_full(schema.get(), nullptr, nullptr));
            const Strv keys(g_settings_schema_list_keys(schema.get()));
            for (gchar** key = keys.get(); *key; ++key) {
                if (qstrcmp(*key, GnomeCustomShortcuts::listKey) == 0)
                    continue;
                if (holds(settings.get(), schema.get(), *key, accelerator))
                    return nameOfKey(schema.get(), *key);
            }
        }
        return {};
    }

private:
    Store() = default;
    static const char* listSchemaId() { return GnomeCustomShortcuts::listSchemaId; }
    static const char* entrySchemaId() { return GnomeCustomShortcuts::entrySchemaId; }

    static bool holds(GSettings* settings, GSettingsSchema* schema, const char* name, const Accelerator& accelerator)
    {
        GSettingsSchemaKey* key = g_settings_schema_get_key(schema, name);
        const GVariantType* type = g_settings_schema_key_get_value_type(key);
        bool found = false;
        if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING_ARRAY)) {
            const Strv values(g_settings_get_strv(settings, name));
            for (guint i = 0; values.get()[i] && i < maximumAcceleratorsPerKey && !found; ++i)
                found = parseAccelerator(fromUtf8(values.get()[i])) == accelerator;
        } else if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING)) {
            found = parseAccelerator(stringOf(settings, name)) == accelerator;
        }
        g_settings_schema_key_unref(key);
        return found;
    }

    static QString nameOfKey(GSettingsSchema* schema, const char* name)
    {
        GSettingsSchemaKey* key = g_settings_schema_get_key(schema, name);
        const char* summary = g_settings_schema_key_get_summary(key);
        QString text = summary && *summary ? fromUtf8(summary) : fromUtf8(name);
        g_settings_schema_key_unref(key);
        return shown(text);
    }

    // First, so that it goes last.
    std::unique_ptr<GSettingsSchemaSource, SourceUnref> m_source;
    Schema m_listSchema;
    Schema m_entrySchema;
    Settings m_list;
};

bool isUntouched(GSettings* entry)
{
    for (const char* key : entryKeys) {
        if (GVariant* value = g_settings_get_user_value(entry, key)) {
            g_variant_unref(value);
            return false;
        }
    }
    return true;
}

void clear(GSettings* entry)
{
    for (const char* key : entryKeys)
        g_settings_reset(entry, key);
}

bool writeList(GSettings* list, const QList<QByteArray>& paths)
{
    QList<const char*> pointers;
    for (const QByteArray& path : paths)
        pointers.append(path.constData());
    pointers.append(nullptr);
    return g_settings_set_strv(list, GnomeCustomShortcuts::listKey, pointers.constData());
}

using Report = GnomeCustomShortcuts::Report;

Report failure(Report::Status status, const QString& message)
{
    Report report;
    report.status = status;
    report.message = message;
    return report;
}

const QString cannotWrite = QStringLiteral("GNOME's keyboard shortcut settings cannot be changed (they may be locked "
                                           "by the administrator).");

// The store and everything its list holds, or why they cannot be read.
struct Listed {
    std::unique_ptr<Store> store;
    QList<QByteArray> paths;
    QList<Entry> entries;
    std::optional<Report> failure;
};

Listed readListed(const QString& schemaDirectory)
{
    Listed listed;
    QString problem;
    listed.store = Store::open(schemaDirectory, &problem);
    if (!listed.store)
        listed.failure = failure(Report::Status::Unavailable, problem);
    else if (!listed.store->readList(&listed.paths, &listed.entries, &problem))
        listed.failure = failure(Report::Status::Refused, problem);
    return listed;
}

bool isListed(const QList<Entry>& entries, const GnomeCustomShortcuts::Shortcut& shortcut)
{
    return std::any_of(entries.cbegin(), entries.cend(), [&](const Entry& entry) { return runs(entry, shortcut); });
}

} // namespace

GnomeCustomShortcuts::GnomeCustomShortcuts(QList<Shortcut> shortcuts, QString schemaDirectory)
    : m_shortcuts(std::move(shortcuts))
    , m_schemaDirectory(std::move(schemaDirectory))
{
}

QString GnomeCustomShortcuts::commandOf(const Shortcut& shortcut)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+-]+$"));
    QString program = shortcut.program;
    if (!plain.match(program).hasMatch()) {
        gchar* quoted = g_shell_quote(program.toUtf8().constData());
        program = fromUtf8(quoted);
        g_free(quoted);
    }
    return program + u' ' + shortcut.option;
}

QString GnomeCustomShortcuts::readableBinding(const QString& binding)
{
    const std::optional<Accelerator> accelerator = parseAccelerator(binding);
    if (!accelerator)
        return binding;
    QStringList parts;
    for (const QString& modifier : accelerator->modifiers)
        parts.append(modifier == u"control" ? QStringLiteral("Ctrl") : modifier.left(1).toUpper() + modifier.mid(1));
    parts.append(accelerator->key.size() == 1 ? accelerator->key.toUpper() : accelerator->key);
    return parts.join(u'+');
}

GnomeCustomShortcuts::Report GnomeCustomShortcuts::setUp() const
{
    const PrivateContext context;
    const Listed listed = readListed(m_schemaDirectory);
    if (listed.failure)
        return *listed.failure;
    const Store& store = *listed.store;
    const QList<QByteArray>& paths = listed.paths;
    const QList<Entry>& entries = listed.entries;

    Report report;
    QList<const Shortcut*> missing;
    for (const Shortcut& shortcut : m_shortcuts) {
        if (isListed(entries, shortcut))
            report.present.append(shortcut.name);
        else
            missing.append(&shortcut);
    }
    // Keys held by the other custom shortcuts (ours count too: the user may have moved one onto another key).
    QList<QByteArray> written;
    std::vector<Settings> writtenEntries;
    bool failed = false;
    QString problem;
    const QSet<QByteArray> listedPaths(paths.cbegin(), paths.cend());
    int next = 0;
    for (const Shortcut* shortcut : std::as_const(missing)) {
        const std::optional<Accelerator> accelerator = parseAccelerator(shortcut->binding);
        const QString holder = accelerator ? store.holderOf(*accelerator, entries) : QString();
        if (!holder.isEmpty()) {
            report.taken.append(QStringLiteral("%1 is used by “%2”").arg(readableBinding(shortcut->binding), holder));
            continue;
        }
        // The first customN that is neither listed nor holds anything: a path another program has written to but
        // not listed yet is still its own.
        Settings entry;
        QByteArray path;
        const int last = maximumEntries + int(m_shortcuts.size()) * 2;
        for (; next <= last && !entry; ++next) {
            path = QByteArray(entryFolder) + "custom" + QByteArray::number(next) + '/';
            if (listedPaths.contains(path))
                continue;
            Settings candidate = store.entryAt(path);
            if (isUntouched(candidate.get()))
                entry = std::move(candidate);
        }
        if (!entry) {
            problem = QStringLiteral("No free place was found for Quillora's shortcuts in GNOME's settings.");
            failed = true;
            break;
        }
        if (!g_settings_set_string(entry.get(), "name", shortcut->name.toUtf8().constData())
            || !g_settings_set_string(entry.get(), "command", commandOf(*shortcut).toUtf8().constData())
            || !g_settings_set_string(entry.get(), "binding", shortcut->binding.toUtf8().constData())) {
            clear(entry.get());
            problem = cannotWrite;
            failed = true;
            break;
        }
        written.append(path);
        writtenEntries.push_back(std::move(entry));
        report.changed.append(shortcut->name);
    }
    // Appended to the user's own list, in one write, once the entries it points to are complete.
    if (!failed && !written.isEmpty() && !writeList(store.list(), paths + written)) {
        problem = cannotWrite;
        failed = true;
    }
    if (failed) {
        for (const Settings& entry : writtenEntries)
            clear(entry.get());
        g_settings_sync();
        return failure(Report::Status::Failed, problem);
    }
    g_settings_sync();
    if (!report.taken.isEmpty()) {
        report.message = report.taken.join(QStringLiteral("; "))
            + QStringLiteral(". Choose another key for Quillora in GNOME's Settings, Keyboard, or free that one.");
    }
    return report;
}

GnomeCustomShortcuts::Report GnomeCustomShortcuts::remove() const
{
    const PrivateContext context;
    const Listed listed = readListed(m_schemaDirectory);
    if (listed.failure)
        return *listed.failure;
    const Store& store = *listed.store;
    const QList<QByteArray>& paths = listed.paths;
    const QList<Entry>& entries = listed.entries;

    Report report;
    QSet<QByteArray> ours;
    for (const Entry& entry : std::as_const(entries)) {
        for (const Shortcut& shortcut : m_shortcuts) {
            if (runs(entry, shortcut)) {
                ours.insert(entry.path);
                report.changed.append(shortcut.name);
                break;
            }
        }
    }
    if (ours.isEmpty())
        return report;
    QList<QByteArray> kept;
    for (const QByteArray& path : std::as_const(paths)) {
        if (!ours.contains(path))
            kept.append(path);
    }
    if (!writeList(store.list(), kept))
        return failure(Report::Status::Failed, cannotWrite);
    for (const QByteArray& path : std::as_const(ours))
        clear(store.entryAt(path).get());
    g_settings_sync();
    return report;
}

std::optional<QMap<QString, QString>> GnomeCustomShortcuts::keysPresent() const
{
    const PrivateContext context;
    const Listed listed = readListed(m_schemaDirectory);
    if (listed.failure)
        return std::nullopt;
    QMap<QString, QString> keys;
    for (const Shortcut& shortcut : m_shortcuts) {
        for (const Entry& entry : listed.entries) {
            if (runs(entry, shortcut)) {
                keys.insert(shortcut.option, entry.binding.isEmpty() ? QString() : readableBinding(entry.binding));
                break;
            }
        }
    }
    return keys;
}
