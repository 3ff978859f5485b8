// What Quillora relies on from KDE Plasma on Wayland, checked in the KDE test desktop
// (tests/support/with-kde-wayland.sh): a shortcut bound through the GlobalShortcuts portal fires when its
// keys are pressed, the Screenshot portal takes the whole output without asking, and Qt finds a tray.
#include "platform/wayland/portalglobalhotkeys.h" // PortalShortcut, the portal's a(sa{sv}) entries

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString globalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
// KDE stores a portal session's shortcuts under its session token, for good: a test desktop runs several
// test programs, and one that bound Alt+X under another token would leave this one's Alt+X unbound.
const QString sessionToken = QStringLiteral("quillora_desktop_check");
// The program's three: explain the selection, explain a region of the screen, ask anything.
const QList<std::pair<QString, QString>> shortcutKeys { { QStringLiteral("explain-text"), QStringLiteral("ALT+X") },
    { QStringLiteral("explain-screenshot"), QStringLiteral("ALT+Z") },
    { QStringLiteral("ask-anything"), QStringLiteral("ALT+A") } };
const QColor windowColour(0x30, 0x50, 0xe0);
constexpr int portalDeadlineMs = 10000;

class ColourWindow final : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(QRect(QPoint(), size()), windowColour); }
};

bool nearColour(QRgb pixel, const QColor& colour)
{
    return std::abs(qRed(pixel) - colour.red()) <= 2 && std::abs(qGreen(pixel) - colour.green()) <= 2
        && std::abs(qBlue(pixel) - colour.blue()) <= 2;
}

} // namespace


// A portal call that answers through a Request object's Response signal.
class PortalRequest : public QObject {
    Q_OBJECT

public:
    std::optional<uint> code;
    QVariantMap results;
    QString error;

    // Subscribes to the Response on the path the portal will use before calling, so a quick answer is not missed.
    PortalRequest(const QString& interface, const QString& method, QVariantList arguments, QVariantMap options)
    {
        static int serial = 0;
        const QString token = QStringLiteral("quillora_check_%1").arg(++serial);
        auto bus = QDBusConnection::sessionBus();
        const QString sender = bus.baseService().mid(1).replace(u'.', u'_');
        const QString path = QStringLiteral("%1/request/%2/%3").arg(portalPath, sender, token);
        if (!bus.connect(QString(), path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                this, SLOT(onResponse(uint, QVariantMap)))) {
            error = method + QStringLiteral(": no subscription to the Response on ") + path;
            return;
        }
        options.insert(QStringLiteral("handle_token"), token);
        auto call = QDBusMessage::createMethodCall(portalService, portalPath, interface, method);
        call.setArguments(arguments << options);
        const QDBusMessage reply = bus.call(call, QDBus::Block, portalDeadlineMs);
        if (reply.type() == QDBusMessage::ErrorMessage)
            error = method + QStringLiteral(": ") + reply.errorMessage();
    }

    bool answered()
    {
        return error.isEmpty() && QTest::qWaitFor([this] { return code.has_value(); }, portalDeadlineMs);
    }

private slots:
    void onResponse(uint responseCode, const QVariantMap& responseResults)
    {
        code = responseCode;
        results = responseResults;
    }
};

class TestKdeDesktop : public QObject {
    Q_OBJECT

    QString m_session;
    QStringList m_activated; // the shortcut of every Activated signal, "?" for another session's

public slots:
    void onActivated(const QDBusMessage& activated)
    {
        const QVariantList arguments = activated.arguments();
        const bool ours = arguments.value(0).value<QDBusObjectPath>().path() == m_session;
        m_activated << (ours ? arguments.value(1).toString() : QStringLiteral("?"));
    }

private:
    static QStringList trayItems()
    {
        auto call = QDBusMessage::createMethodCall(QStringLiteral("org.kde.StatusNotifierWatcher"),
            QStringLiteral("/StatusNotifierWatcher"), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        call << QStringLiteral("org.kde.StatusNotifierWatcher") << QStringLiteral("RegisteredStatusNotifierItems");
        const QDBusReply<QVariant> reply = QDBusConnection::sessionBus().call(call);
        return reply.isValid() ? reply.value().toStringList() : QStringList();
    }

    // Items of this process ("name" or "name/path" entries), whichever of its bus connections registered them:
    // Qt's tray icon has a connection of its own.
    static QStringList ownTrayItems()
    {
        QStringList own;
        for (const QString& item : trayItems()) {
            const auto pid = QDBusConnection::sessionBus().interface()->servicePid(item.section(u'/', 0, 0));
            if (pid.isValid() && pid.value() == QCoreApplication::applicationPid())
                own << item;
        }
        return own;
    }

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        QVERIFY(QDBusConnection::sessionBus().connect(QString(), portalPath, globalShortcuts,
            QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage))));
    }

    void cleanupTestCase()
    {
        if (m_session.isEmpty())
            return;
        auto bus = QDBusConnection::sessionBus();
        bus.call(QDBusMessage::createMethodCall(
            portalService, m_session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
        // Closing the session leaves the keys bound. Given back to kglobalaccel, they are free for the next
        // test program in this desktop.
        for (const auto& [id, keys] : shortcutKeys) {
            auto unregister = QDBusMessage::createMethodCall(QStringLiteral("org.kde.kglobalaccel"),
                QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("unregister"));
            unregister << sessionToken << id;
            const QDBusReply<bool> released = bus.call(unregister);
            QVERIFY2(released.isValid() && released.value(), qPrintable(id + u' ' + released.error().message()));
        }
    }

    void shortcutBoundThroughThePortalFiresOnItsKeys()
    {
        QList<PortalShortcut> wanted;
        for (const auto& [id, keys] : shortcutKeys)
            wanted.append(
                { id, { { QStringLiteral("description"), id }, { QStringLiteral("preferred_trigger"), keys } } });
        PortalRequest create(globalShortcuts, QStringLiteral("CreateSession"), {},
            { { QStringLiteral("session_handle_token"), sessionToken },
                { QStringLiteral("shortcuts"), QVariant::fromValue(wanted) } });
        QVERIFY2(create.answered(), qPrintable(create.error));
        QCOMPARE(create.code.value(), 0U);
        const QVariant handle = create.results.value(QStringLiteral("session_handle"));
        m_session = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
        QVERIFY(m_session.endsWith(u'/' + sessionToken));
        QStringList boundIds;
        for (const PortalShortcut& shortcut :
            qdbus_cast<QList<PortalShortcut>>(create.results.value(QStringLiteral("shortcuts"))))
            boundIds << shortcut.id;
        QStringList wantedIds;
        for (const auto& [id, keys] : shortcutKeys)
            wantedIds << id;
        boundIds.sort();
        QStringList sortedIds = wantedIds;
        sortedIds.sort();
        QCOMPARE(boundIds, sortedIds);

        // Alt+C, bound to nothing, goes first: had it fired, its Activated would come first. The answer to
        // CreateSession names each shortcut's keys even when KDE left them unbound; only pressing them tells.
        QProcess keys;
        keys.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral(QUILLORA_WAYLAND_KEYS), QStringLiteral("alt+c"), QStringLiteral("alt+x"),
                QStringLiteral("alt+z"), QStringLiteral("alt+a") });
        QVERIFY(keys.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(keys.state() == QProcess::NotRunning, portalDeadlineMs);
        QVERIFY2(
            keys.exitStatus() == QProcess::NormalExit && keys.exitCode() == 0, keys.readAllStandardError().constData());
        QTRY_VERIFY2_WITH_TIMEOUT(
            m_activated.size() >= wantedIds.size(), qPrintable(m_activated.join(u' ')), portalDeadlineMs);
        QCOMPARE(m_activated, wantedIds);
    }

    void screenshotIsTheWholeOutputUnasked()
    {
        ColourWindow window;
        window.setFlags(Qt::Window | Qt::FramelessWindowHint);
        window.resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize output = window.screen()->geometry().size() * window.screen()->devicePixelRatio();

        // The compositor may take the picture before it has drawn the new window: then again. The pointer, in
        // the picture too, may hide a little of the window.
        const int enoughPixels = 400 * 300 * 9 / 10;
        QImage picture;
        int windowPixels = 0;
        for (int attempt = 0; attempt < 5 && windowPixels < enoughPixels; ++attempt) {
            PortalRequest shot(QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"),
                { QString() }, { { QStringLiteral("interactive"), false } });
            QVERIFY2(shot.answered(), qPrintable(shot.error));
            QCOMPARE(shot.code.value(), 0U);
            const QUrl uri(shot.results.value(QStringLiteral("uri")).toString());
            QVERIFY2(uri.isLocalFile(), qPrintable(uri.toString()));
            QVERIFY2(picture.load(uri.toLocalFile(), "PNG"), qPrintable(uri.toLocalFile()));
            QFile::remove(uri.toLocalFile());
            picture = picture.convertToFormat(QImage::Format_RGB32);
            QCOMPARE(picture.size(), output);
            windowPixels = 0;
            for (int y = 0; y < picture.height(); ++y) {
                const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
                for (int x = 0; x < picture.width(); ++x)
                    windowPixels += nearColour(line[x], windowColour) ? 1 : 0;
            }
        }
        QVERIFY2(windowPixels >= enoughPixels, qPrintable(QString::number(windowPixels)));
    }

    void trayIconReachesTheWatcherAndLeavesIt()
    {
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        QPixmap pixmap(22, 22);
        pixmap.fill(windowColour);
        QSystemTrayIcon icon { QIcon(pixmap) };
        icon.show();
        QTRY_VERIFY2_WITH_TIMEOUT(ownTrayItems().size() == 1, qPrintable(trayItems().join(u' ')), portalDeadlineMs);
        icon.hide();
        QTRY_VERIFY_WITH_TIMEOUT(ownTrayItems().isEmpty(), portalDeadlineMs);
    }
};

int main(int argc, char* argv[])
{
    // Elsewhere there is nothing to check; 77 has ctest count the test as skipped.
    if (qgetenv("XDG_CURRENT_DESKTOP") != "KDE" || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("tst_kdedesktop runs in tests/support/with-kde-wayland.sh only\n", stderr);
        return 77;
    }
    QApplication app(argc, argv);
    TestKdeDesktop test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kdedesktop.moc"
