// The global hot keys on the X11 test desktop, pressed through XTest as a user would press them.
#include "capture/hotkeymanager.h"
#include "platform/x11/x11globalhotkeys.h"

#include <QProcess>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <unistd.h>

namespace {

// Keycodes of the standard evdev layout.
constexpr xcb_keycode_t altKey = 64, shiftKey = 50, capsLockKey = 66, numLockKey = 77, cKey = 54;
constexpr quint32 sentinelId = 9; // Alt+C, pressed last to know every earlier press was handled

QByteArray stdoutOf(const std::function<void()>& action)
{
    QTemporaryFile file;
    if (!file.open())
        return {};
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    file.seek(0);
    return file.readAll();
}

} // namespace

class TestHotkeys : public QObject {
    Q_OBJECT

    xcb_connection_t* m_x = nullptr; // the test's own client: XTest, and another application's grab
    std::unique_ptr<HotkeyManager> m_manager;
    QList<quint32> m_fired;
    bool m_offMainThread = false;

    void registerAll(HotkeyManager& manager)
    {
        const QList<std::pair<quint32, quint32>> keys { { 1, HotkeyManager::keyCodeX }, { 2, HotkeyManager::keyCodeZ },
            { 3, HotkeyManager::keyCodeA }, { sentinelId, cKey } };
        for (const auto& [id, key] : keys) {
            manager.registerHotkey(id, key, Qt::AltModifier, [this, id = id] {
                m_fired << id;
                m_offMainThread = m_offMainThread || QThread::currentThread() != qApp->thread();
            });
        }
    }

    void tap(const QList<xcb_keycode_t>& keys)
    {
        for (const xcb_keycode_t key : keys)
            xcb_test_fake_input(m_x, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        for (auto key = keys.crbegin(); key != keys.crend(); ++key)
            xcb_test_fake_input(m_x, XCB_KEY_RELEASE, *key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(m_x);
    }

    // The ids fired by pressing these combinations, each a list of keys held together.
    QList<quint32> firedBy(const QList<QList<xcb_keycode_t>>& combinations, quint32 sentinel = sentinelId)
    {
        m_fired.clear();
        for (const auto& keys : combinations)
            tap(keys);
        tap({ altKey, cKey });
        if (!QTest::qWaitFor([&] { return m_fired.contains(sentinel); }, 5000))
            return { 0 };
        m_fired.removeAll(sentinel);
        return m_fired;
    }

private slots:
    void initTestCase()
    {
        m_x = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(m_x));
    }
    void cleanupTestCase() { xcb_disconnect(m_x); }

    void init()
    {
        m_manager = std::make_unique<HotkeyManager>();
        registerAll(*m_manager);
    }
    void cleanup() { m_manager.reset(); }

    void keysCallTheirHandlersWhateverTheLockKeys_data()
    {
        QTest::addColumn<QList<xcb_keycode_t>>("locks");
        QTest::addColumn<QList<xcb_keycode_t>>("keys");
        QTest::addColumn<QList<quint32>>("fired");
        using Keys = QList<xcb_keycode_t>;
        for (const auto& [name, locks] : { std::pair { "", Keys {} }, { " NumLock", Keys { numLockKey } },
                 { " CapsLock", Keys { capsLockKey } }, { " both locks", Keys { numLockKey, capsLockKey } } }) {
            QTest::addRow("Alt+X%s", name) << locks << Keys { altKey, 53 } << QList<quint32> { 1 };
            QTest::addRow("Alt+Z%s", name) << locks << Keys { altKey, 52 } << QList<quint32> { 2 };
            QTest::addRow("Alt+A%s", name) << locks << Keys { altKey, 38 } << QList<quint32> { 3 };
            QTest::addRow("Alt+Shift+X%s", name) << locks << Keys { altKey, shiftKey, 53 } << QList<quint32> {};
            QTest::addRow("X alone%s", name) << locks << Keys { 53 } << QList<quint32> {};
        }
    }

    void keysCallTheirHandlersWhateverTheLockKeys()
    {
        QFETCH(QList<xcb_keycode_t>, locks);
        QFETCH(QList<xcb_keycode_t>, keys);
        QFETCH(QList<quint32>, fired);
        for (const xcb_keycode_t lock : locks)
            tap({ lock }); // on
        const QList<quint32> seen = firedBy({ keys });
        for (const xcb_keycode_t lock : locks)
            tap({ lock }); // off again
        QCOMPARE(seen, fired);
        QVERIFY(!m_offMainThread);
    }

    void aKeyHeldByAnotherClientIsReportedAndTheOthersWork()
    {
        m_manager.reset();
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_x)).data->root;
        QVERIFY(!xcb_request_check(
            m_x, xcb_grab_key_checked(m_x, 0, root, XCB_MOD_MASK_1, 52, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));

        HotkeyManager manager;
        const QByteArray output = stdoutOf([&] { registerAll(manager); });
        QCOMPARE(output, QByteArray("[HotkeyManager] RegisterEventHotKey id=2 failed: 10\n"));
        QCOMPARE(firedBy({ { altKey, 53 }, { altKey, 52 }, { altKey, 38 } }), (QList<quint32> { 1, 3 }));

        xcb_ungrab_key(m_x, 52, root, XCB_MOD_MASK_1);
        xcb_flush(m_x);
    }

    void nothingFiresAfterUnregisterAll()
    {
        m_manager->unregisterAll();
        HotkeyManager sentinel;
        sentinel.registerHotkey(sentinelId, cKey, Qt::AltModifier, [this] { m_fired << sentinelId; });
        QCOMPARE(firedBy({ { altKey, 53 }, { altKey, 52 }, { altKey, 38 } }), QList<quint32> {});
    }

    void keysFollowNumLockToAnotherModifier()
    {
        // Move NumLock from Mod2 to Mod3, as some keymaps have it; the keys must work with it on all the same.
        const auto moveNumLock = [this](int from, int to) {
            std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)> mapping(
                xcb_get_modifier_mapping_reply(m_x, xcb_get_modifier_mapping(m_x), nullptr), &std::free);
            const int perModifier = mapping->keycodes_per_modifier;
            QList<xcb_keycode_t> keys(xcb_get_modifier_mapping_keycodes(mapping.get()),
                xcb_get_modifier_mapping_keycodes(mapping.get()) + 8 * perModifier);
            for (int i = 0; i < perModifier; ++i) {
                if (keys[from * perModifier + i] == numLockKey)
                    keys[from * perModifier + i] = 0;
            }
            keys[to * perModifier + perModifier - 1] = numLockKey;
            std::free(xcb_set_modifier_mapping_reply(
                m_x, xcb_set_modifier_mapping(m_x, quint8(perModifier), keys.constData()), nullptr));
        };
        moveNumLock(4, 5);
        QTest::qWait(200); // the server tells every client of the new mapping
        tap({ numLockKey });
        const QList<quint32> seen = firedBy({ { altKey, 53 } });
        tap({ numLockKey });
        moveNumLock(5, 4);
        QCOMPARE(seen, QList<quint32> { 1 });
    }

    void keysStayOnTheirPlacesAcrossALayoutSwitch()
    {
        // On the French layout the key in the A position types Q; it still is Alt+A's key.
        QCOMPARE(QProcess::execute("setxkbmap", { "fr" }), 0);
        const QList<quint32> seen = firedBy({ { altKey, 38 }, { altKey, 53 } });
        QProcess::execute("setxkbmap", { "us" });
        QCOMPARE(seen, (QList<quint32> { 3, 1 }));
    }
};

QTEST_MAIN(TestHotkeys)
#include "tst_hotkeys.moc"
