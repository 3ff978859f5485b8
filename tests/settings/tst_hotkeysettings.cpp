// The keys of Quillora's commands as chosen in the settings window: what a pressed key makes of a row, what is
// kept on disk, and the window's key row driven by real key events.
#include "platform/globalhotkeys.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"
#include "settings/settingswindow.h"
#include "ui/qmlengineprovider.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr quint32 qPosition = 24, onePosition = 10; // X11 keycodes on a US keyboard
constexpr int alt = Qt::AltModifier, ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier, super = Qt::MetaModifier;

// Repeater rows hang below their column as items, not as QObject children.
QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

} // namespace

class HotkeySettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString storeFile() const { return m_dir.filePath(QStringLiteral("Quillora.conf")); }

private slots:
    void init() { QFile::remove(storeFile()); }

    // Explain Selection (Alt+X, or as stored before) is recording; one key is pressed. The desktop answers
    // `status` to a grab.
    void aPressedKeyIsTakenOrRefused_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<quint32>("scanCode");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("note");
        QTest::addColumn<bool>("recording");
        QTest::addColumn<QString>("stored");

        const auto row
            = [](const char* name, const QString& before, int key, int modifiers, quint32 scanCode, int status,
                  const QString& shown, const QString& note, bool recording, const QString& stored) {
                  QTest::newRow(name) << before << key << modifiers << scanCode << status << shown << note << recording
                                      << stored;
              };
        const QString none, addModifier = QStringLiteral("Add Ctrl, Alt or Super to the key.");
        row("modifier alone waits", none, Qt::Key_Alt, alt, 0, 0, "Alt+X", none, true, none);
        row("Escape cancels", none, Qt::Key_Escape, 0, 0, 0, "Alt+X", none, false, none);
        row("taken", none, Qt::Key_E, ctrl | super, 0, 0, "Ctrl+Super+E", none, false, "Meta+Ctrl+E");
        row("by position, French A key", none, Qt::Key_A, alt, qPosition, 0, "Alt+Q", none, false, "Alt+Q");
        row("Shift+1 by position", none, Qt::Key_Exclam, ctrl | shift, onePosition, 0, "Ctrl+Shift+1", none, false,
            "Ctrl+Shift+1");
        row("Backspace restores the default", "Ctrl+Alt+E", Qt::Key_Backspace, 0, 0, 0, "Alt+X", none, false, none);
        row("Shift alone", none, Qt::Key_E, shift, 0, 0, "Alt+X", addModifier, true, none);
        row("Alt+Tab", none, Qt::Key_Tab, alt, 0, 0, "Alt+X", "Alt+Tab is kept by the desktop.", true, none);
        row("Alt+Space", none, Qt::Key_Space, alt, 0, 0, "Alt+X", "Alt+Space is kept by the desktop.", true, none);
        row("Print", none, Qt::Key_Print, ctrl, 0, 0, "Alt+X", "Ctrl+Print is kept by the desktop.", true, none);
        row("another command's key", none, Qt::Key_Z, alt, 0, 0, "Alt+X", "Alt+Z is already Explain Screen Region.",
            true, none);
        row("held by another program", "Ctrl+Alt+E", Qt::Key_Q, alt, 0, GlobalHotkeys::heldElsewhereStatus,
            "Ctrl+Alt+E", "Alt+Q is used by another program.", false, "Ctrl+Alt+E");
        row("no position", none, Qt::Key_Menu, alt, 135, 0, "Alt+X",
            "This key cannot be a shortcut; try a letter, a digit or F1 to F12.", true, none);
    }

    void aPressedKeyIsTakenOrRefused()
    {
        QFETCH(QString, before);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(quint32, scanCode);
        QFETCH(int, status);
        QFETCH(QString, shown);
        QFETCH(QString, note);
        QFETCH(bool, recording);
        QFETCH(QString, stored);

        AppSettings settings(storeFile());
        settings.setHotkey("explainSelection", before);
        QList<std::tuple<quint32, quint32, int>> applied;
        HotkeySettings hotkeys(
            settings,
            [&](quint32 id, quint32 keyCode, Qt::KeyboardModifiers held) {
                applied.append({ id, keyCode, int(held) });
                return status;
            },
            false);
        hotkeys.startRecording(0);
        QVERIFY(hotkeys.keyPressed(key, modifiers, scanCode));

        QCOMPARE(hotkeys.rows().at(0).toMap().value("key").toString(), shown);
        QCOMPARE(hotkeys.note(0), note);
        QCOMPARE(hotkeys.recording(), recording);
        QCOMPARE(QSettings(storeFile(), QSettings::IniFormat).value("hotkeys/explainSelection").toString(), stored);
        // A grab was asked for exactly when the key changed or was refused by the desktop alone.
        const bool asked = (shown != (before.isEmpty() ? "Alt+X" : before)) || status != 0;
        QCOMPARE(applied.size(), asked ? 1 : 0);
        if (shown == "Alt+Q")
            QCOMPARE(applied.value(0), std::make_tuple(1U, qPosition, alt));
    }

    // What the store holds when the program starts: a chosen key, nothing, or something no longer readable.
    void storedKeysAreReadBackOrFallBackToTheDefault_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("unreadable");
        const auto row = [](const char* name, const QString& stored, const QString& shown, bool unreadable) {
            QTest::newRow(name) << stored << shown << unreadable;
        };
        row("chosen", "Meta+Ctrl+E", "Ctrl+Super+E", false);
        row("absent", "", "Alt+Z", false);
        row("not a key", "Alt+Shift+Frobnicate", "Alt+Z", true);
        row("two keys", "Alt+Q, Alt+W", "Alt+Z", true);
        row("no modifier", "E", "Alt+Z", true);
        row("the desktop's", "Alt+Tab", "Alt+Z", true);
    }

    void storedKeysAreReadBackOrFallBackToTheDefault()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QFETCH(bool, unreadable);
        if (!stored.isEmpty())
            QSettings(storeFile(), QSettings::IniFormat).setValue("hotkeys/explainScreenRegion", stored);
        AppSettings settings(storeFile());
        const QKeyCombination key = HotkeySettings::storedKey(settings, HotkeySettings::commands[1]);
        QCOMPARE(HotkeySettings::displayText(key), shown);
        HotkeySettings hotkeys(settings, {}, false);
        QCOMPARE(hotkeys.note(1).contains(QStringLiteral("not readable; Alt+Z is used")), unreadable);

        // A key chosen here is read back the same by the next start.
        hotkeys.startRecording(1);
        hotkeys.keyPressed(Qt::Key_F9, ctrl | alt, 0);
        const QKeyCombination chosen = HotkeySettings::storedKey(AppSettings(storeFile()), HotkeySettings::commands[1]);
        QCOMPARE(chosen, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_F9));
    }

    // A key that was not free when Quillora started says so in its row, through every opening of the window, until
    // a key is taken; recording the same key again tries it again.
    void aKeyNotTakenAtStartIsShownAndTriedAgain()
    {
        AppSettings settings(storeFile());
        int status = GlobalHotkeys::heldElsewhereStatus, asked = 0;
        HotkeySettings hotkeys(
            settings,
            [&](quint32, quint32, Qt::KeyboardModifiers) {
                ++asked;
                return status;
            },
            false);
        hotkeys.keyNotTaken(1, GlobalHotkeys::heldElsewhereStatus);
        hotkeys.reload();
        const auto noteOfRow = [&] { return hotkeys.rows().at(0).toMap().value("note").toString(); };
        QCOMPARE(noteOfRow(), QStringLiteral("Alt+X is used by another program. Choose another key."));
        hotkeys.startRecording(0);
        hotkeys.keyPressed(Qt::Key_X, alt, 0);
        QCOMPARE(asked, 1);
        QCOMPARE(noteOfRow(), QStringLiteral("Alt+X is used by another program."));
        status = 0;
        hotkeys.startRecording(0);
        hotkeys.keyPressed(Qt::Key_X, alt, 0);
        QCOMPARE(asked, 2);
        QCOMPARE(noteOfRow(), QString());
    }

    // Where the desktop hands out the keys, a command it gave none says so (its bound keys: the settings test).
    void aCommandTheDesktopGaveNoKeySaysSo()
    {
        AppSettings settings(storeFile());
        HotkeySettings hotkeys(settings, {}, true);
        hotkeys.showDesktopKey(2, QString());
        const QVariantMap unbound = hotkeys.rows().at(1).toMap();
        QCOMPARE(unbound.value("key").toString(), QStringLiteral("None"));
        QVERIFY(unbound.value("note").toString().contains(QStringLiteral("no key")));
    }

    // The window's row records with real key events: Escape ends the recording, not the window.
    void theWindowsKeyRowRecords()
    {
        QmlEngineProvider engines;
        AppSettings settings(storeFile());
        HotkeySettings hotkeys(
            settings, [](quint32, quint32, Qt::KeyboardModifiers) { return 0; }, false);
        SettingsWindow window(settings, nullptr, engines.engine(), nullptr, nullptr, &hotkeys);
        window.open();
        QVERIFY(QTest::qWaitForWindowExposed(window.window()));
        auto* keyButton = findItem(window.window()->view(), QStringLiteral("shortcutKey2"));
        QVERIFY(keyButton);
        const QPoint centre = keyButton->mapToScene(keyButton->boundingRect().center()).toPoint();

        QTest::mouseClick(window.window(), Qt::LeftButton, {}, centre);
        QCOMPARE(keyButton->property("text").toString(), "Press keys…");
        QTest::keyClick(window.window(), Qt::Key_Escape);
        QVERIFY(window.window()->isVisible());
        QCOMPARE(keyButton->property("text").toString(), "Alt+A");

        QTest::mouseClick(window.window(), Qt::LeftButton, {}, centre);
        QTest::keyClick(window.window(), Qt::Key_E, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(keyButton->property("text").toString(), "Ctrl+Alt+E");
        QCOMPARE(settings.hotkey("askAnything"), "Ctrl+Alt+E");

        // Tab goes on from the last key to "Restore Defaults", which Space presses.
        QVERIFY(keyButton->hasActiveFocus());
        QTest::keyClick(window.window(), Qt::Key_Tab);
        QCOMPARE(window.window()->activeFocusItem()->objectName(), "restoreShortcutsButton");
        QTest::keyClick(window.window(), Qt::Key_Space);
        QCOMPARE(keyButton->property("text").toString(), "Alt+A");
    }
};

QTEST_MAIN(HotkeySettingsTest)
#include "tst_hotkeysettings.moc"
