// The desktop portal's global shortcuts and screenshots, against a stand-in portal on a private bus: what is
// asked of the portal, what comes back to Quillora, and every way the portal can fail.
#include "platform/wayland/portalglobalhotkeys.h"
#include "platform/wayland/portalkeyboard.h"
#include "platform/wayland/portalscreencapture.h"
#include "privatebus.h"

#include <QBuffer>
#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace std::chrono_literals;

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString sessionPath = QStringLiteral("/org/freedesktop/portal/desktop/session/1_1/quillora");

// An object at `path` under the name `service`, for as long as it lives.
class StubObject : public QDBusVirtualObject {
public:
    StubObject(QDBusConnection bus, const QString& path, const QString& service)
        : m_bus(std::move(bus))
        , m_path(path)
        , m_service(service)
    {
        m_bus.registerVirtualObject(m_path, this);
        m_bus.interface()->registerService(m_service);
    }
    ~StubObject() override
    {
        m_bus.unregisterObject(m_path);
        m_bus.interface()->unregisterService(m_service);
    }
    QDBusConnection& bus() { return m_bus; }
    QString introspect(const QString&) const override { return {}; }

protected:
    QDBusConnection m_bus;
    const QString m_path, m_service;
};

// Every method of the portal object answered by a handler the test sets; unset ones get an error.
class StubPortal : public StubObject {
public:
    using Handler = std::function<void(const QDBusMessage&)>;

    explicit StubPortal(QDBusConnection bus)
        : StubObject(std::move(bus), portalPath, portalService)
    {
    }

    QMap<QString, Handler> handlers; // by member
    QMap<QString, uint> versions; // by interface; an interface not listed has none
    QList<QDBusMessage> calls;

    QStringList members() const
    {
        QStringList names;
        for (const QDBusMessage& call : calls)
            names << call.member();
        return names;
    }
    static QVariantMap options(const QDBusMessage& call)
    {
        return qdbus_cast<QVariantMap>(call.arguments().constLast().value<QDBusArgument>());
    }

    // Answers a call that starts a Request: the request's path, then its Response.
    void respond(const QDBusMessage& call, uint code, const QVariantMap& results = {}, bool sendResponse = true)
    {
        QString sender = call.service().mid(1);
        sender.replace(u'.', u'_');
        const QString request = portalPath + QStringLiteral("/request/") + sender + u'/'
            + options(call).value(QStringLiteral("handle_token")).toString();
        m_bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        if (!sendResponse)
            return;
        QDBusMessage response = QDBusMessage::createSignal(
            request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        response << code << results;
        m_bus.send(response);
    }

    // A press of the key `id` in `session`, sent by the portal or, given one, by another connection.
    void emitActivated(const QString& session, const QString& id, std::optional<QDBusConnection> from = {})
    {
        QDBusMessage activated
            = QDBusMessage::createSignal(portalPath, PortalGlobalHotkeys::interface, QStringLiteral("Activated"));
        activated << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0) << QVariantMap();
        from.value_or(m_bus).send(activated);
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        calls << message;
        if (message.member() == QLatin1String("Get")) {
            const QString interface = message.arguments().value(0).toString();
            if (versions.contains(interface))
                m_bus.send(message.createReply(QVariant::fromValue(QDBusVariant(versions.value(interface)))));
            else
                m_bus.send(message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such interface")));
            return true;
        }
        if (const Handler handler = handlers.value(message.member()))
            handler(message);
        else
            m_bus.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("not offered")));
        return true;
    }
};

// The permission store, answering Lookup with a handler the test sets (none: never answers).
class StubPermissionStore : public StubObject {
public:
    explicit StubPermissionStore(QDBusConnection bus)
        : StubObject(std::move(bus), QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
            PortalScreenCapture::permissionStore)
    {
    }
    std::function<void(const QDBusMessage&, QDBusConnection&)> lookup;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        if (message.member() == QLatin1String("Lookup") && lookup)
            lookup(message, m_bus);
        return true;
    }
};

using PermissionEntries = QMap<QString, QStringList>;

QVariantMap shortcutsResult(const QList<QPair<QString, QString>>& bound)
{
    PortalShortcuts shortcuts;
    for (const auto& [id, trigger] : bound)
        shortcuts.append({ id, { { QStringLiteral("trigger_description"), trigger } } });
    return { { QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts) } };
}

PortalShortcuts shortcutsSent(const QVariant& value)
{
    return qdbus_cast<PortalShortcuts>(value.value<QDBusArgument>());
}

// A PNG file's bytes: the left half of the picture in one colour, the right half in another.
QByteArray png(QSize size, QColor left, QColor right)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(left);
    for (int y = 0; y < size.height(); ++y)
        for (int x = size.width() / 2; x < size.width(); ++x)
            image.setPixelColor(x, y, right);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class PortalBackendsTest : public QObject {
    Q_OBJECT

    PrivateBus m_bus;
    std::unique_ptr<StubPortal> m_portal;
    std::optional<QDBusConnection> m_client;
    QTemporaryDir m_files;
    QList<QPair<int, uint>> m_keys; // evdev code, pressed

    void registerOurKeys(PortalGlobalHotkeys& hotkeys)
    {
        const QList<QPair<QString, quint32>> keys { { "Explain Selection", 53 }, { "Explain Screen Region", 52 },
            { "Ask Anything", 38 } };
        for (quint32 id = 1; id <= 3; ++id) {
            hotkeys.describeHotkey(id, keys[id - 1].first);
            QCOMPARE(hotkeys.registerHotkey(id, keys[id - 1].second, Qt::AltModifier), 0);
        }
    }

    void offerSessions()
    {
        m_portal->handlers["CreateSession"] = [this](const QDBusMessage& call) {
            m_portal->respond(call, 0, { { "session_handle", sessionPath } });
        };
    }

    // A portal whose GlobalShortcuts opens a session and knows the keys listed.
    void offerShortcuts(const QList<QPair<QString, QString>>& listed)
    {
        m_portal->versions[PortalGlobalHotkeys::interface] = 1;
        offerSessions();
        m_portal->handlers["ListShortcuts"]
            = [this, listed](const QDBusMessage& call) { m_portal->respond(call, 0, shortcutsResult(listed)); };
        m_portal->handlers["BindShortcuts"] = [this](const QDBusMessage& call) {
            QList<QPair<QString, QString>> bound;
            for (const PortalShortcut& shortcut : shortcutsSent(call.arguments().value(1)))
                bound.append({ shortcut.id, QStringLiteral("Alt+?") });
            m_portal->respond(call, 0, shortcutsResult(bound));
        };
    }

    // A portal whose Screenshot writes these bytes to `path` and names it.
    void offerScreenshots(const QString& path, std::function<QByteArray()> content)
    {
        m_portal->versions[PortalScreenCapture::interface] = 2;
        m_portal->handlers["Screenshot"] = [this, path, content](const QDBusMessage& call) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(content());
            file.close();
            m_portal->respond(call, 0, { { "uri", QUrl::fromLocalFile(path).toString() } });
        };
    }

    // A portal whose RemoteDesktop grants the keyboard, answers Start with `startCode`, and records keys.
    void offerRemoteDesktop(uint startCode)
    {
        offerSessions();
        m_portal->handlers["SelectDevices"] = [this](const QDBusMessage& call) { m_portal->respond(call, 0); };
        m_portal->handlers["Start"] = [this, startCode](const QDBusMessage& call) {
            m_portal->respond(call, startCode, { { "devices", 1U } });
        };
        m_portal->handlers["NotifyKeyboardKeycode"] = [this](const QDBusMessage& call) {
            m_keys.append({ call.arguments().value(2).toInt(), call.arguments().value(3).toUInt() });
            m_portal->bus().send(call.createReply());
        };
    }

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcuts>();
        qDBusRegisterMetaType<PermissionEntries>();
        QVERIFY2(!m_bus.address().isEmpty(), "dbus-daemon did not start");
    }

    void init()
    {
        m_portal = std::make_unique<StubPortal>(m_bus.connect("portal"));
        m_client = m_bus.connect("client");
    }

    void cleanup()
    {
        m_keys.clear();
        m_portal.reset();
        m_client.reset();
    }

    // The keys go to the portal once, in CreateSession (where KDE 5.27 binds them), under one fixed session
    // token; keys the desktop already knows are not bound again. Presses of our session's keys come back; others,
    // and signals from anyone but the portal, do not. A restarted portal gets a new session.
    void keysAreHandedOverOnceAndPressesComeBack()
    {
        offerShortcuts({ { "quillora-1", "Alt+X" }, { "quillora-2", "Alt+Z" }, { "quillora-3", "" } });
        PortalGlobalHotkeys hotkeys(*m_client);
        QSignalSpy ready(&hotkeys, &PortalGlobalHotkeys::sessionReady);
        QSignalSpy pressed(&hotkeys, &GlobalHotkeys::pressed);
        registerOurKeys(hotkeys);
        QVERIFY(ready.wait(5000));

        QCOMPARE(m_portal->members(), QStringList({ "Get", "CreateSession", "ListShortcuts" }));
        const QVariantMap options = StubPortal::options(m_portal->calls.at(1)); // CreateSession's
        QCOMPARE(options.value("session_handle_token").toString(), QStringLiteral("quillora"));
        const PortalShortcuts sent = shortcutsSent(options.value("shortcuts"));
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent[0].id, QStringLiteral("quillora-1"));
        QCOMPARE(sent[0].properties.value("preferred_trigger").toString(), QStringLiteral("ALT+x"));
        QCOMPARE(sent[0].properties.value("description").toString(), QStringLiteral("Explain Selection"));
        QCOMPARE(hotkeys.desktopKey(1), QStringLiteral("Alt+X"));
        QCOMPARE(hotkeys.desktopKey(3), QString()); // taken elsewhere: reported, others kept

        m_portal->emitActivated(QStringLiteral("/elsewhere"), QStringLiteral("quillora-2"));
        m_portal->emitActivated(sessionPath, QStringLiteral("quillora-1"), m_bus.connect("impostor"));
        m_portal->emitActivated(sessionPath, QStringLiteral("quillora-2"));
        QVERIFY(pressed.wait(5000));
        QTest::qWait(100);
        QCOMPARE(pressed.size(), 1);
        QCOMPARE(pressed.at(0).at(0).toUInt(), 2U);

        // The user gives Explain Selection another key in the desktop's settings; the others stay as bound.
        QSignalSpy keysChanged(&hotkeys, &GlobalHotkeys::desktopKeysChanged);
        QDBusMessage changed = QDBusMessage::createSignal(
            portalPath, PortalGlobalHotkeys::interface, QStringLiteral("ShortcutsChanged"));
        const PortalShortcuts now { { QStringLiteral("quillora-1"),
            { { QStringLiteral("trigger_description"), QStringLiteral("Ctrl+Alt+X") } } } };
        changed << QVariant::fromValue(QDBusObjectPath(sessionPath)) << QVariant::fromValue(now);
        m_portal->bus().send(changed);
        QVERIFY(keysChanged.wait(5000));
        QCOMPARE(hotkeys.desktopKey(1), QStringLiteral("Ctrl+Alt+X"));
        QCOMPARE(hotkeys.desktopKey(2), QStringLiteral("Alt+Z"));

        // The portal restarts: a new session, the keys handed over again.
        m_portal.reset();
        m_portal = std::make_unique<StubPortal>(m_bus.connect("portal"));
        offerShortcuts({ { "quillora-1", "Alt+X" }, { "quillora-2", "Alt+Z" }, { "quillora-3", "Alt+A" } });
        QVERIFY(ready.wait(5000));
        QVERIFY(m_portal->members().contains("CreateSession"));
    }

    // Keys the desktop does not list yet are bound through BindShortcuts (desktops that ignore CreateSession's).
    void keysTheDesktopLacksAreBound()
    {
        offerShortcuts({});
        PortalGlobalHotkeys hotkeys(*m_client);
        QSignalSpy ready(&hotkeys, &PortalGlobalHotkeys::sessionReady);
        registerOurKeys(hotkeys);
        QVERIFY(ready.wait(5000));
        QCOMPARE(m_portal->members(), QStringList({ "Get", "CreateSession", "ListShortcuts", "BindShortcuts" }));
        QCOMPARE(hotkeys.desktopKey(3), QStringLiteral("Alt+?"));
    }

    void portalFailuresLeaveTheKeysUnavailable_data()
    {
        QTest::addColumn<QString>("failure");
        for (const char* failure : { "no GlobalShortcuts", "CreateSession refused", "no Response" })
            QTest::newRow(failure) << QString::fromLatin1(failure);
    }
    void portalFailuresLeaveTheKeysUnavailable()
    {
        QFETCH(QString, failure);
        if (failure != "no GlobalShortcuts")
            offerShortcuts({});
        if (failure == "CreateSession refused")
            m_portal->handlers["CreateSession"] = [this](const QDBusMessage& call) { m_portal->respond(call, 2); };
        if (failure == "no Response")
            m_portal->handlers["CreateSession"]
                = [this](const QDBusMessage& call) { m_portal->respond(call, 0, {}, false); };

        PortalGlobalHotkeys hotkeys(*m_client);
        hotkeys.setDeadline(300ms);
        registerOurKeys(hotkeys);
        QTRY_COMPARE(hotkeys.registerHotkey(4, 46, Qt::AltModifier), GlobalHotkeys::unavailableStatus);
        QVERIFY(!hotkeys.hasSession());
    }

    // The portal's file is read, cut into one image per screen and deleted. The desktop names its files to the
    // second: two captures at once must each get their own picture.
    void screenshotsAreReadCutAndDeleted()
    {
        const QString path = m_files.filePath("Screenshot.png");
        int shots = 0;
        offerScreenshots(path, [&shots] { return png({ 400, 200 }, Qt::red, ++shots == 1 ? Qt::blue : Qt::green); });
        PortalScreenCapture capture(*m_client);
        // Two screens side by side, the second at twice the scale: each image in its own device pixels.
        const QList<ScreenInfo> screens { { "left", QRectF(0, 0, 100, 100), {}, 1.0 },
            { "right", QRectF(100, 0, 100, 100), {}, 2.0 } };
        QCoro::Task<QList<QImage>> first = capture.grabScreens(screens);
        QCoro::Task<QList<QImage>> second = capture.grabScreens(screens);
        const QList<QImage> images = QCoro::waitFor(std::move(first));
        QCOMPARE(images.size(), 2);
        QCOMPARE(images[0].size(), QSize(100, 100));
        QCOMPARE(images[1].size(), QSize(200, 200));
        QCOMPARE(images[0].pixelColor(50, 50), QColor(Qt::red));
        QCOMPARE(images[1].pixelColor(100, 100), QColor(Qt::blue));
        QCOMPARE(QCoro::waitFor(std::move(second)).value(1).pixelColor(100, 100), QColor(Qt::green));
        QVERIFY(!QFile::exists(path));
    }

    void screenshotFailuresGiveNoPicture_data()
    {
        QTest::addColumn<QString>("failure");
        for (const char* failure : { "no such file", "not an image", "no Response", "no Screenshot" })
            QTest::newRow(failure) << QString::fromLatin1(failure);
    }
    void screenshotFailuresGiveNoPicture()
    {
        QFETCH(QString, failure);
        const QString path = m_files.filePath("Screenshot.png");
        offerScreenshots(path, [] { return QByteArray("<html>not a picture</html>"); });
        if (failure == "no such file")
            m_portal->handlers["Screenshot"] = [this](const QDBusMessage& call) {
                m_portal->respond(call, 0, { { "uri", QUrl::fromLocalFile(m_files.filePath("gone.png")).toString() } });
            };
        if (failure == "no Response")
            m_portal->handlers["Screenshot"]
                = [this](const QDBusMessage& call) { m_portal->respond(call, 0, {}, false); };
        if (failure == "no Screenshot") {
            m_portal->versions.remove(PortalScreenCapture::interface);
            m_portal->handlers.remove("Screenshot");
        }
        PortalScreenCapture capture(*m_client);
        capture.setDeadline(300ms);
        const QList<QImage> images
            = QCoro::waitFor(capture.grabScreens({ { "only", QRectF(0, 0, 100, 100), {}, 1.0 } }));
        QCOMPARE(images.size(), 1);
        QVERIFY(images[0].isNull());
        QVERIFY(!QFile::exists(path));
        QCOMPARE(capture.isAvailable(), failure != "no Screenshot");
    }

    // Where the desktop asks before the first screenshot (GNOME), what the permission store holds for programs
    // outside a sandbox says whether it was asked and what the answer was; a screenshot that came means allowed,
    // and a refusal leaves screenshots available (the user may still allow them). Whatever the store does, the
    // answer comes within the deadline.
    void theScreenshotPermissionComesFromTheStore_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<bool>("asksFirst");
        QTest::addColumn<int>("screenshot"); // the portal's response code, -1 for no screenshot asked
        QTest::addColumn<int>("permission"); // ScreenCapture::Permission
        const int allowed = int(ScreenCapture::Permission::Allowed);
        const int notAsked = int(ScreenCapture::Permission::NotAsked);
        const int refused = int(ScreenCapture::Permission::Refused);
        QTest::newRow("allowed") << "yes" << true << -1 << allowed;
        QTest::newRow("refused, the screenshot too") << "no" << true << 2 << refused;
        QTest::newRow("not asked yet") << "no entry" << true << -1 << notAsked;
        QTest::newRow("another program's answer only") << "other" << true << -1 << notAsked;
        QTest::newRow("a malformed answer") << "malformed" << true << -1 << notAsked;
        QTest::newRow("a store that never answers") << "silent" << true << -1 << notAsked;
        QTest::newRow("a screenshot came") << "no entry" << true << 0 << allowed;
        QTest::newRow("a desktop that never asks") << "no" << false << -1 << allowed;
    }
    void theScreenshotPermissionComesFromTheStore()
    {
        QFETCH(QString, store);
        QFETCH(bool, asksFirst);
        QFETCH(int, screenshot);
        QFETCH(int, permission);
        StubPermissionStore permissions(m_portal->bus());
        if (store != "silent") {
            permissions.lookup = [store](const QDBusMessage& call, QDBusConnection& bus) {
                if (call.arguments() != QVariantList { "screenshot", "screenshot" })
                    bus.send(call.createErrorReply(QDBusError::InvalidArgs, "wrong table"));
                else if (store == "no entry")
                    bus.send(call.createErrorReply("org.freedesktop.portal.Error.NotFound", "No entry"));
                else if (store == "malformed")
                    bus.send(call.createReply(QStringLiteral("yes")));
                else
                    bus.send(call.createReply(
                        { QVariant::fromValue(PermissionEntries { { store == "other" ? "org.other.App" : "",
                              QStringList { store == "other" ? QStringLiteral("yes") : store } } }),
                            QVariant::fromValue(QDBusVariant(QVariant(0u))) }));
            };
        }
        const QString path = m_files.filePath("Screenshot.png");
        offerScreenshots(path, [] { return png({ 100, 100 }, Qt::red, Qt::blue); });
        if (screenshot > 0)
            m_portal->handlers["Screenshot"]
                = [this, screenshot](const QDBusMessage& call) { m_portal->respond(call, uint(screenshot)); };
        PortalScreenCapture capture(*m_client, asksFirst);
        capture.setDeadline(300ms);
        if (screenshot >= 0) {
            const QList<QImage> images
                = QCoro::waitFor(capture.grabScreens({ { "only", QRectF(0, 0, 100, 100), {}, 1.0 } }));
            QCOMPARE(images.value(0).isNull(), screenshot != 0);
        }
        QCOMPARE(int(QCoro::waitFor(capture.permission())), permission);
        QVERIFY(capture.isAvailable());
    }

    // The copy shortcut: one session for the program's life, every modifier let go first; nothing where the desktop
    // would ask or has refused. (Nothing to a terminal: the KDE end-to-end test.)
    void theCopyShortcutGoesThroughOneSession()
    {
        offerRemoteDesktop(0);
        PortalKeyboard keyboard(*m_client, true);
        QVERIFY(QCoro::waitFor(keyboard.sendCopyShortcut(false)));
        QVERIFY(QCoro::waitFor(keyboard.sendCopyShortcut(false)));
        QTRY_COMPARE(m_keys.size(), 2 * (6 + 4));
        QCOMPARE(m_portal->members().count("CreateSession"), 1);
        QCOMPARE(m_portal->members().count("Start"), 1);
        QCOMPARE(m_keys.mid(6, 4), (QList<QPair<int, uint>> { { 29, 1 }, { 46, 1 }, { 46, 0 }, { 29, 0 } }));
        for (const auto& [code, state] : m_keys.mid(0, 6))
            QVERIFY(state == 0 && code != 29 && code != 46);

        m_keys.clear();
        m_portal->calls.clear();
        PortalKeyboard asking(*m_client, false);
        QVERIFY(!QCoro::waitFor(asking.sendCopyShortcut(false)));
        QVERIFY(m_portal->calls.isEmpty());

        offerRemoteDesktop(1); // the user cancels the dialog
        PortalKeyboard refused(*m_client, true);
        refused.setDeadline(500ms);
        QVERIFY(!QCoro::waitFor(refused.sendCopyShortcut(false)));
        QVERIFY(!QCoro::waitFor(refused.sendCopyShortcut(false)));
        QCOMPARE(m_portal->members().count("Start"), 1);
        QVERIFY(m_keys.isEmpty());
    }
};

QTEST_GUILESS_MAIN(PortalBackendsTest)
#include "tst_portalbackends.moc"
