// GNOME's custom shortcuts list as Quillora sets up and takes out its keys, on GIO's memory settings backend
// with the real schemas: what happens to the user's own entries, to paths and keys others hold, and to lists we
// refuse to touch.
// GIO first: its headers name a member `signals`, which Qt's headers make a keyword.
#include <gio/gio.h>
// Only to make sure the settings are kept in memory.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gsettingsbackend.h>

#include "platform/wayland/gnomecustomshortcuts.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Shortcuts = GnomeCustomShortcuts;
using Status = GnomeCustomShortcuts::Report::Status;

const QByteArray folder = Shortcuts::entryFolder;
const QString program = QStringLiteral("/usr/bin/quillora");

QList<Shortcuts::Shortcut> quilloraKeys()
{
    return { { QStringLiteral("Quillora: Explain Selected Text"), QStringLiteral("<Alt>x"), program,
                 QStringLiteral("--explain-selection") },
        { QStringLiteral("Quillora: Explain Screenshot"), QStringLiteral("<Alt>z"), program,
            QStringLiteral("--explain-screenshot") },
        { QStringLiteral("Quillora: Ask Anything"), QStringLiteral("<Alt>a"), program, QStringLiteral("--ask") } };
}

// The test's own view of the settings, through the same (memory) backend.
GSettings* settings(const char* schema, const QByteArray& path = {})
{
    GSettingsSchema* found = g_settings_schema_source_lookup(g_settings_schema_source_get_default(), schema, TRUE);
    GSettings* opened = g_settings_new_full(found, nullptr, path.isEmpty() ? nullptr : path.constData());
    g_settings_schema_unref(found);
    return opened;
}

QStringList list()
{
    GSettings* media = settings(Shortcuts::listSchemaId);
    gchar** paths = g_settings_get_strv(media, Shortcuts::listKey);
    QStringList result;
    for (gchar** path = paths; *path; ++path)
        result << QString::fromUtf8(*path).remove(QString::fromLatin1(folder)).remove(QRegularExpression("/$"));
    g_strfreev(paths);
    g_object_unref(media);
    return result;
}

void setList(const QStringList& leaves)
{
    QList<QByteArray> paths;
    QList<const char*> pointers;
    for (const QString& leaf : leaves)
        paths << (leaf.contains(u' ') ? leaf.toUtf8() : folder + leaf.toUtf8() + '/');
    for (const QByteArray& path : paths)
        pointers << path.constData();
    pointers << nullptr;
    GSettings* media = settings(Shortcuts::listSchemaId);
    g_settings_set_strv(media, Shortcuts::listKey, pointers.constData());
    g_object_unref(media);
}

// "leaf=binding command" for an entry; "leaf=" when nothing is written there.
QString entry(const QString& leaf)
{
    GSettings* at = settings(Shortcuts::entrySchemaId, folder + leaf.toUtf8() + '/');
    QString text = leaf + u'=';
    if (GVariant* written = g_settings_get_user_value(at, "command")) {
        g_variant_unref(written);
        gchar* binding = g_settings_get_string(at, "binding");
        gchar* command = g_settings_get_string(at, "command");
        text += QString::fromUtf8(binding) + u' ' + QString::fromUtf8(command);
        g_free(binding);
        g_free(command);
    }
    g_object_unref(at);
    return text;
}

void setEntry(const QString& leaf, const char* name, const char* binding, const char* command)
{
    GSettings* at = settings(Shortcuts::entrySchemaId, folder + leaf.toUtf8() + '/');
    g_settings_set_string(at, "name", name);
    g_settings_set_string(at, "binding", binding);
    g_settings_set_string(at, "command", command);
    g_object_unref(at);
}

// What a step writes at custom0 (name, binding, command); all but the unlisted entry are listed.
const QMap<QString, std::array<const char*, 3>> custom0 {
    { "user custom0", { "Terminal", "<Super>t", "gnome-terminal" } },
    { "moved ours custom0", { "My explain", "<Super>x", "/opt/q/bin/quillora --explain-selection" } },
    { "unlisted custom0", { "Other", "<Super>o", "other-program" } },
    { "launcher custom0 on Alt+A", { "Launcher", "<Alt>a", "launcher" } },
};

} // namespace

class GnomeShortcutsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_otherSchemas;

private slots:
    void initTestCase()
    {
        // Never the user's own dconf database.
        GSettingsBackend* backend = g_settings_backend_get_default();
        QCOMPARE(G_OBJECT_TYPE_NAME(backend), "GMemorySettingsBackend");
        g_object_unref(backend);
        GSettingsSchema* media
            = g_settings_schema_source_lookup(g_settings_schema_source_get_default(), Shortcuts::listSchemaId, TRUE);
        if (!media)
            QSKIP("GNOME's schemas are not installed (gnome-settings-daemon-common, gsettings-desktop-schemas)");
        g_settings_schema_unref(media);
        // A system with GNOME's window manager keys but without its settings daemon.
        QVERIFY(QFile::copy(QStringLiteral("/usr/share/glib-2.0/schemas/org.gnome.desktop.wm.keybindings.gschema.xml"),
            m_otherSchemas.filePath(QStringLiteral("org.gnome.desktop.wm.keybindings.gschema.xml"))));
        QCOMPARE(QProcess::execute(QStringLiteral("glib-compile-schemas"), { m_otherSchemas.path() }), 0);
    }

    void init()
    {
        GSettings* media = settings(Shortcuts::listSchemaId);
        g_settings_reset(media, Shortcuts::listKey);
        g_object_unref(media);
        for (int n = 0; n < 8; ++n) {
            GSettings* at = settings(Shortcuts::entrySchemaId, folder + "custom" + QByteArray::number(n) + '/');
            for (const char* key : { "name", "binding", "command" })
                g_settings_reset(at, key);
            g_object_unref(at);
        }
        GSettings* wm = settings("org.gnome.desktop.wm.keybindings");
        g_settings_reset(wm, "minimize");
        g_object_unref(wm);
    }

    void theListEdgeCases_data()
    {
        QTest::addColumn<QStringList>("steps"); // "set up", "remove", or a setting made before them
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("changed"); // by the last step
        QTest::addColumn<QStringList>("expectedList"); // leaves, in order; empty: the list as it was
        QTest::addColumn<QStringList>("expectedEntries");
        QTest::addColumn<QString>("inMessage");

        const QString x = QStringLiteral("<Alt>x /usr/bin/quillora --explain-selection");
        const QString z = QStringLiteral("<Alt>z /usr/bin/quillora --explain-screenshot");
        const QString a = QStringLiteral("<Alt>a /usr/bin/quillora --ask");
        const QString terminal = QStringLiteral("<Super>t gnome-terminal");
        QTest::newRow("the user's entries are kept and ours appended")
            << QStringList { "user custom0", "set up" } << Status::Done << 3
            << QStringList { "custom0", "custom1", "custom2", "custom3" }
            << QStringList { "custom0=" + terminal, "custom1=" + x, "custom2=" + z, "custom3=" + a } << QString();
        QTest::newRow("a second set-up adds nothing")
            << QStringList { "set up", "set up" } << Status::Done << 0
            << QStringList { "custom0", "custom1", "custom2" }
            << QStringList { "custom0=" + x, "custom1=" + z, "custom2=" + a, "custom3=" } << QString();
        QTest::newRow("a key the user changed on one of ours is left alone")
            << QStringList { "moved ours custom0", "set up" } << Status::Done << 2
            << QStringList { "custom0", "custom1", "custom2" }
            << QStringList { "custom0=<Super>x /opt/q/bin/quillora --explain-selection", "custom1=" + z,
                   "custom2=" + a }
            << QString();
        QTest::newRow("removing takes out only ours and clears them")
            << QStringList { "user custom0", "set up", "remove" } << Status::Done << 3 << QStringList { "custom0" }
            << QStringList { "custom0=" + terminal, "custom1=", "custom2=", "custom3=" } << QString();
        QTest::newRow("a path another program has written is not overwritten")
            << QStringList { "unlisted custom0", "set up" } << Status::Done << 3
            << QStringList { "custom1", "custom2", "custom3" }
            << QStringList { "custom0=<Super>o other-program", "custom1=" + x, "custom2=" + z, "custom3=" + a }
            << QString();
        QTest::newRow("keys held elsewhere are reported by name and not taken")
            << QStringList { "wm minimize on Alt+Z", "launcher custom0 on Alt+A", "set up" } << Status::Done << 1
            << QStringList { "custom0", "custom1" }
            << QStringList { "custom0=<Alt>a launcher", "custom1=" + x, "custom2=" }
            << QStringLiteral("Alt+Z is used by “Minimize window”; Alt+A is used by “Launcher”");
        QTest::newRow("a list holding something that is no path is left as it was")
            << QStringList { "malformed list", "set up" } << Status::Refused << 0 << QStringList {}
            << QStringList { "custom0=", "custom1=" } << QStringLiteral("“not a path”");
        QTest::newRow("nor is it changed by a removal")
            << QStringList { "malformed list", "remove" } << Status::Refused << 0 << QStringList {} << QStringList {}
            << QStringLiteral("not a settings path");
        QTest::newRow("hundreds of entries are more than we change")
            << QStringList { "300 entries", "set up" } << Status::Refused << 0 << QStringList {}
            << QStringList { "custom300=" } << QStringLiteral("300 entries");
        QTest::newRow("without the settings daemon's schemas it is unavailable")
            << QStringList { "schemas missing", "set up" } << Status::Unavailable << 0 << QStringList {}
            << QStringList { "custom0=" } << QStringLiteral("not installed");
    }

    void theListEdgeCases()
    {
        QFETCH(QStringList, steps);
        QFETCH(Status, status);
        QFETCH(int, changed);
        QFETCH(QStringList, expectedList);
        QFETCH(QStringList, expectedEntries);
        QFETCH(QString, inMessage);

        QString schemaDirectory;
        GnomeCustomShortcuts::Report report;
        QStringList before;
        for (const QString& step : std::as_const(steps)) {
            const GnomeCustomShortcuts shortcuts(quilloraKeys(), schemaDirectory);
            if (step == u"set up") {
                report = shortcuts.setUp();
            } else if (step == u"remove") {
                report = shortcuts.remove();
            } else if (const auto [name, binding, command] = custom0.value(step); name) {
                setEntry(QStringLiteral("custom0"), name, binding, command);
                if (!step.startsWith(u"unlisted"))
                    setList({ QStringLiteral("custom0") });
            } else if (step == u"wm minimize on Alt+Z") {
                GSettings* wm = settings("org.gnome.desktop.wm.keybindings");
                const char* bindings[] = { "<Mod1>Z", nullptr };
                g_settings_set_strv(wm, "minimize", bindings);
                g_object_unref(wm);
            } else if (step == u"malformed list") {
                setList({ QStringLiteral("custom0"), QStringLiteral("not a path") });
            } else if (step == u"300 entries") {
                QStringList leaves;
                for (int n = 0; n < 300; ++n)
                    leaves << QStringLiteral("custom%1").arg(n);
                setList(leaves);
            } else if (step == u"schemas missing") {
                schemaDirectory = m_otherSchemas.path();
            }
            if (step != u"set up" && step != u"remove")
                before = list();
        }

        QCOMPARE(report.status, status);
        QCOMPARE(report.changed.size(), changed);
        QCOMPARE(list(), expectedList.isEmpty() ? before : expectedList);
        for (const QString& expected : std::as_const(expectedEntries))
            QCOMPARE(entry(expected.section(u'=', 0, 0)), expected);
        if (inMessage.isEmpty())
            QVERIFY2(report.message.isEmpty(), qPrintable(report.message));
        else
            QVERIFY2(report.message.contains(inMessage), qPrintable(report.message));
        // Asked afterwards, the settings tell which of ours are there (none once removed; nothing when unreadable),
        // with the keys they have, the user's own among them.
        int present = -1;
        if (status == Status::Done)
            present = steps.last() == u"remove" ? 0 : int(report.present.size() + report.changed.size());
        const auto keys = GnomeCustomShortcuts(quilloraKeys(), schemaDirectory).keysPresent();
        QCOMPARE(keys ? int(keys->size()) : -1, present);
        if (keys && keys->contains(QStringLiteral("--explain-selection")))
            QCOMPARE(keys->value(QStringLiteral("--explain-selection")),
                steps.contains(QStringLiteral("moved ours custom0")) ? QStringLiteral("Super+X")
                                                                     : QStringLiteral("Alt+X"));
    }
};

QTEST_GUILESS_MAIN(GnomeShortcutsTest)
#include "tst_gnomeshortcuts.moc"
