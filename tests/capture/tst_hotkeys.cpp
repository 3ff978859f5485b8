// The global hot keys on the X11 test desktop, pressed through XTest as a user would press them, and the
// copy shortcut sent the same way.
#include "capture/hotkeymanager.h"
#include "platform/platform.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"

#include <QCoroTask>

#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>

#include <unistd.h>

namespace {

using Keys = QList<xcb_keycode_t>;
using Ids = QList<quint32>;
// Keycodes of the evdev layout; X, Z, A are 53, 52, 38.
constexpr xcb_keycode_t alt = 64, shift = 50, ctrl = 37, capsLock = 66, numLock = 77, cKey = 54, eKey = 26, qKey = 24;
constexpr quint32 sentinelId = 9; // Alt+C, pressed last: once it fired, every earlier press was handled

} // namespace

class TestHotkeys : public QObject {
    Q_OBJECT

    xcb_connection_t* m_x = nullptr; // the test's own client: XTest, and another application's grab
    xcb_window_t m_root = 0;
    std::unique_ptr<Platform> m_platform;
    std::unique_ptr<HotkeyManager> m_manager;
    Ids m_fired;
    bool m_offMainThread = false;

    void registerAll(HotkeyManager& manager)
    {
        for (const auto& [id, key] : { std::pair { 1U, HotkeyManager::keyCodeX }, { 2U, HotkeyManager::keyCodeZ },
                 { 3U, HotkeyManager::keyCodeA }, { sentinelId, quint32(cKey) } }) {
            manager.registerHotkey(id, key, Qt::AltModifier, {}, [this, id = id] {
                m_fired << id;
                m_offMainThread = m_offMainThread || QThread::currentThread() != qApp->thread();
            });
        }
    }

    void tap(const Keys& keys)
    {
        for (const xcb_keycode_t key : keys)
            xcb_test_fake_input(m_x, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        for (auto key = keys.crbegin(); key != keys.crend(); ++key)
            xcb_test_fake_input(m_x, XCB_KEY_RELEASE, *key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(m_x);
    }

    // The ids fired by pressing these combinations, each a list of keys held together.
    Ids firedBy(const QList<Keys>& combinations, int timeoutMs = 5000)
    {
        m_fired.clear();
        for (const Keys& keys : combinations + QList<Keys> { { alt, cKey } })
            tap(keys);
        if (!QTest::qWaitFor([&] { return m_fired.contains(sentinelId); }, timeoutMs))
            return { 0 };
        m_fired.removeAll(sentinelId);
        return m_fired;
    }

    // Moves the NumLock key from one modifier row of the server's modifier mapping to another.
    void moveNumLock(int from, int to)
    {
        auto* mapping = xcb_get_modifier_mapping_reply(m_x, xcb_get_modifier_mapping(m_x), nullptr);
        const int perModifier = mapping->keycodes_per_modifier;
        Keys keys(
            xcb_get_modifier_mapping_keycodes(mapping), xcb_get_modifier_mapping_keycodes(mapping) + 8 * perModifier);
        std::free(mapping);
        std::replace(
            keys.begin() + from * perModifier, keys.begin() + (from + 1) * perModifier, numLock, xcb_keycode_t(0));
        keys[(to + 1) * perModifier - 1] = numLock;
        std::free(
            xcb_set_modifier_mapping_reply(m_x, xcb_set_modifier_mapping(m_x, perModifier, keys.data()), nullptr));
    }

    // The key pressed with Ctrl by the copy shortcut, as a client that grabbed every candidate key sees it.
    xcb_keycode_t copyKeyPressed(const Keys& candidates)
    {
        for (const xcb_keycode_t key : candidates)
            xcb_grab_key(m_x, 0, m_root, XCB_MOD_MASK_ANY, key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_flush(m_x);
        xcb_keycode_t pressed = 0;
        const bool sent = QCoro::waitFor(m_platform->keyboard->sendCopyShortcut(false));
        const bool arrived = sent
            && QTest::qWaitFor(
                [&] {
                    while (xcb_generic_event_t* event = xcb_poll_for_event(m_x)) {
                        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
                        if ((event->response_type & 0x7f) == XCB_KEY_PRESS && (press->state & XCB_MOD_MASK_CONTROL))
                            pressed = press->detail;
                        std::free(event);
                    }
                    return pressed != 0;
                },
                5000);
        for (const xcb_keycode_t key : candidates)
            xcb_ungrab_key(m_x, key, m_root, XCB_MOD_MASK_ANY);
        xcb_flush(m_x);
        return arrived ? pressed : 0;
    }

private slots:
    void initTestCase()
    {
        m_x = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(m_x));
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_x)).data->root;
        m_platform = Platform::createForSession();
    }
    void cleanupTestCase()
    {
        m_platform.reset();
        xcb_disconnect(m_x);
    }
    void init() { registerAll(*(m_manager = std::make_unique<HotkeyManager>(*m_platform->globalHotkeys))); }
    void cleanup() { m_manager.reset(); }

    // Each key calls its own handler, in the order pressed, with either lock key on or both; the same keys with
    // Shift, or without Alt, call none.
    void keysCallTheirHandlersWhateverTheLockKeys_data()
    {
        QTest::addColumn<Keys>("locks");
        QTest::newRow("no lock") << Keys {};
        QTest::newRow("NumLock") << Keys { numLock };
        QTest::newRow("CapsLock") << Keys { capsLock };
        QTest::newRow("both locks") << Keys { numLock, capsLock };
    }

    void keysCallTheirHandlersWhateverTheLockKeys()
    {
        QFETCH(Keys, locks);
        for (const xcb_keycode_t lock : locks)
            tap({ lock }); // on
        const Ids seen = firedBy({ { alt, 52 }, { alt, shift, 53 }, { 53 }, { alt, 38 }, { alt, 53 } });
        for (const xcb_keycode_t lock : locks)
            tap({ lock }); // off again
        QCOMPARE(seen, (Ids { 2, 3, 1 }));
        QVERIFY(!m_offMainThread);
    }

    void aKeyHeldByAnotherClientIsReportedAndTheOthersWork()
    {
        m_manager.reset();
        QVERIFY(!xcb_request_check(
            m_x, xcb_grab_key_checked(m_x, 0, m_root, XCB_MOD_MASK_1, 52, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));

        QTemporaryFile output; // our standard output, for the time of the registration
        QVERIFY(output.open());
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(output.handle(), STDOUT_FILENO);
        HotkeyManager manager(*m_platform->globalHotkeys);
        registerAll(manager);
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        output.seek(0);
        QCOMPARE(output.readAll(), QByteArray("[HotkeyManager] RegisterEventHotKey id=2 failed: 10\n"));

        QCOMPARE(firedBy({ { alt, 53 }, { alt, 52 }, { alt, 38 } }), (Ids { 1, 3 }));
        xcb_ungrab_key(m_x, 52, m_root, XCB_MOD_MASK_1);
        xcb_flush(m_x);
    }

    // A key chosen in the settings takes over from the old one at once; a key another client holds leaves the
    // command with the key it had.
    void aChosenKeyReplacesTheOldOneUnlessAnotherClientHoldsIt()
    {
        QTemporaryDir dir;
        AppSettings settings(dir.filePath(QStringLiteral("Quillora.conf")));
        HotkeySettings hotkeys(settings, std::bind_front(&HotkeyManager::changeHotkey, m_manager.get()), false);

        hotkeys.startRecording(0);
        hotkeys.keyPressed(Qt::Key_E, Qt::ControlModifier | Qt::AltModifier, eKey);
        QCOMPARE(hotkeys.note(0), QString());
        QCOMPARE(firedBy({ { alt, 53 }, { ctrl, alt, eKey }, { alt, 52 } }), (Ids { 1, 2 }));
        // Alt+X is free again for other programs (Emacs's M-x).
        QVERIFY(!xcb_request_check(
            m_x, xcb_grab_key_checked(m_x, 0, m_root, XCB_MOD_MASK_1, 53, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        xcb_ungrab_key(m_x, 53, m_root, XCB_MOD_MASK_1);

        QVERIFY(!xcb_request_check(
            m_x, xcb_grab_key_checked(m_x, 0, m_root, XCB_MOD_MASK_1, qKey, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        hotkeys.startRecording(0);
        hotkeys.keyPressed(Qt::Key_Q, Qt::AltModifier, qKey);
        const QString note = hotkeys.note(0);
        const Ids afterRefusal = firedBy({ { alt, qKey }, { ctrl, alt, eKey } });
        xcb_ungrab_key(m_x, qKey, m_root, XCB_MOD_MASK_1);
        xcb_flush(m_x);
        QCOMPARE(note, QStringLiteral("Alt+Q is used by another program."));
        QCOMPARE(afterRefusal, Ids { 1 });
        QCOMPARE(settings.hotkey("explainSelection"), QStringLiteral("Ctrl+Alt+E"));

        // Explain Selection and Explain Screen Region swap keys; Restore Defaults swaps them back, and each key
        // fires its own command (neither was let go while the other still had it).
        hotkeys.startRecording(1);
        hotkeys.keyPressed(Qt::Key_X, Qt::AltModifier, 53);
        hotkeys.startRecording(0);
        hotkeys.keyPressed(Qt::Key_Z, Qt::AltModifier, 52);
        QCOMPARE(firedBy({ { alt, 53 }, { alt, 52 } }), (Ids { 2, 1 }));
        hotkeys.restoreDefaults();
        QCOMPARE(hotkeys.note(0) + hotkeys.note(1), QString());
        QCOMPARE(firedBy({ { alt, 53 }, { alt, 52 } }), (Ids { 1, 2 }));
    }

    void keysFollowKeymapChanges()
    {
        // NumLock moved from Mod2 to Mod3, as some keymaps have it: the keys still work with it on.
        moveNumLock(4, 5);
        // The server tells every client of the new mapping; the keys follow once ours has heard of it.
        tap({ numLock });
        const bool followed = QTest::qWaitFor([&] { return firedBy({ { alt, 53 } }, 500) == Ids { 1 }; }, 15000);
        tap({ numLock });
        moveNumLock(5, 4);
        QVERIFY(followed);

        // On the French layout the key in the A position types Q; it still is Alt+A's key.
        QCOMPARE(QProcess::execute("setxkbmap", { "fr" }), 0);
        const Ids afterSwitch = firedBy({ { alt, 38 }, { alt, 53 } });
        QProcess::execute("setxkbmap", { "us" });
        QCOMPARE(afterSwitch, (Ids { 3, 1 }));
    }

    void copyShortcutFollowsKeymapChanges()
    {
        m_manager.reset(); // its Alt+C would stand in the way of the grabs
        constexpr xcb_keycode_t usC = cKey, dvorakC = 31; // Dvorak has C where US has I
        QCOMPARE(copyKeyPressed({ usC, dvorakC }), usC);
        QCOMPARE(QProcess::execute("setxkbmap", { "us", "-variant", "dvorak" }), 0);
        // The new keymap reaches us as events: until they are handled the old keys may still be sent.
        xcb_keycode_t pressed = 0;
        for (int i = 0; i < 20 && pressed != dvorakC; ++i)
            pressed = copyKeyPressed({ usC, dvorakC });
        QProcess::execute("setxkbmap", { "us" });
        QCOMPARE(pressed, dvorakC);
    }
};

QTEST_MAIN(TestHotkeys)
#include "tst_hotkeys.moc"
