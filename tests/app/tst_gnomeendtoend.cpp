// The real program on GNOME 43's Wayland session (tests/support/with-gnome-wayland.sh), against a local stub
// service: its keys are GNOME custom shortcuts that onboarding writes into dconf, run by gsd-media-keys through the
// launcher; keys go in through mutter's remote desktop service, the selection of a GTK editor is read through
// AT-SPI, and screenshots come from the Screenshot portal with the permission granted in the permission store.
#include "platform/wayland/gnomedesktopshortcuts.h"
#include "portaldesktop.h"
#include "quilloraundertest.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {
// A point on the card's plate when the card opens beside a pointer at (700, 300): it is 300 x 400, its corner
// just right of and below the pointer. GNOME 43 tells the card where the pointer is only once it moves: until then
// the card shows in the middle of the screen, where the other point is.
const QPoint besidePointer(700 + 60, 300 + 200);
const QList<QPoint> cardPoints { besidePointer, QPoint(960, 560) };
// Where the desktop's plain background shows, away from every window.
const QPoint onTheBackground(100, 800);
const QString mediaKeys = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
// The editor's window is in the middle of the screen; a click left of its title leaves its selection as it was.
const QString titleBarClick = QStringLiteral("move:-4000,-4000 move:800,455 click");
const QString userEntry = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/");

QString gsettings(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("gsettings"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QStringLiteral("(gsettings %1 failed)").arg(arguments.join(u' '));
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString entryValue(const QString& path, const QString& key)
{
    return gsettings({ QStringLiteral("get"), mediaKeys + QStringLiteral(".custom-keybinding:") + path, key });
}

QStringList customKeybindings()
{
    QString list = gsettings({ QStringLiteral("get"), mediaKeys, QStringLiteral("custom-keybindings") });
    list.remove(QStringLiteral("@as "));
    list.remove(u'[').remove(u']').remove(u'\'').remove(u' ');
    return list.isEmpty() ? QStringList() : list.split(u',');
}
} // namespace

using namespace portaldesktop;

class TestGnomeEndToEnd : public QObject {
    Q_OBJECT

    QuilloraUnderTest m_quillora;

private slots:
    void initTestCase()
    {
        // Screenshots allowed, as the desktop's question answered "Allow" would leave it.
        auto allow = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
            QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
            QStringLiteral("org.freedesktop.impl.portal.PermissionStore"), QStringLiteral("SetPermission"));
        allow << QStringLiteral("screenshot") << true << QStringLiteral("screenshot") << QString()
              << QStringList { QStringLiteral("yes") };
        const QDBusMessage allowed = QDBusConnection::sessionBus().call(allow);
        QVERIFY2(allowed.type() == QDBusMessage::ReplyMessage, qPrintable(allowed.errorMessage()));

        // A shortcut of the user's own, which Quillora's set-up keeps.
        const QString entrySchema = mediaKeys + QStringLiteral(".custom-keybinding:") + userEntry;
        gsettings({ "set", entrySchema, "name", "Terminal" });
        gsettings({ "set", entrySchema, "command", "xterm" });
        gsettings({ "set", entrySchema, "binding", "<Super>t" });
        gsettings({ "set", mediaKeys, "custom-keybindings", "['" + userEntry + "']" });
        QCOMPARE(customKeybindings(), QStringList { userEntry });

        // Run from a build folder, the shortcuts name the launcher `quillora`, which gsd-media-keys finds on the
        // PATH; the test desktop puts ~/.local/bin first on it.
        const QString launcher = QDir::homePath() + QStringLiteral("/.local/bin/quillora");
        QFile::remove(launcher);
        QVERIFY(QFile::link(QStringLiteral(QUILLORA_E2E_PROGRAM), launcher));

        // Settings of its own, but the desktop's dconf: a dconf client reads the database in its XDG_CONFIG_HOME.
        QVERIFY(QFile::link(qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + "/.config") + "/dconf",
            m_quillora.config.filePath("dconf")));
        QVERIFY(m_quillora.start(QUILLORA_E2E_PROGRAM));
    }

    void cleanupTestCase()
    {
        QVERIFY(m_quillora.stop()); // still running after every test
        QFile::remove(QDir::homePath() + QStringLiteral("/.local/bin/quillora"));
        gsettings({ "reset", mediaKeys, "custom-keybindings" });
    }

    // A first start on GNOME opens onboarding at its keys step, in the middle of the screen: its button writes the
    // three shortcuts into dconf beside the user's own, and onboarding, seeing them, completes and closes.
    void onboardingSetsUpTheKeys()
    {
        QStringList entries;
        for (int attempt = 0; attempt < 20 && entries.size() < 4; ++attempt) {
            QTest::qWait(500); // the window on screen
            QVERIFY(send(QStringLiteral("move:-4000,-4000 move:960,672 click")));
            QTest::qWait(500);
            entries = customKeybindings();
        }
        QCOMPARE(entries.size(), 4);
        QCOMPARE(entries.first(), userEntry);
        QCOMPARE(entryValue(userEntry, "command"), QStringLiteral("'xterm'"));
        QCOMPARE(entryValue(userEntry, "binding"), QStringLiteral("'<Super>t'"));
        QStringList commands;
        for (const QString& path : entries.mid(1))
            commands << entryValue(path, "command") + u' ' + entryValue(path, "binding");
        commands.sort();
        QCOMPARE(commands,
            (QStringList { "'quillora --ask' '<Alt>a'", "'quillora --explain-screenshot' '<Alt>z'",
                "'quillora --explain-selection' '<Alt>x'" }));
        QTest::qWait(3000); // onboarding sees the keys set up, and closes
    }

    // Alt+X: gsd-media-keys runs the launcher, which hands the request to the instance; the editor's selected word
    // is read through AT-SPI and sent, and the card opens beside the pointer.
    void altXExplainsTheSelectedWord()
    {
        QProcess pad;
        pad.start(QStringLiteral("/usr/bin/python3"), { QUILLORA_TEST_PAD, "--select", "4", "9" });
        QTRY_VERIFY_WITH_TIMEOUT(pad.canReadLine(), 15000);
        QTest::qWait(500);
        // A click on its title bar, as a user's into the editor, gives it the keyboard: the shell keeps it after
        // the overview closed, and GNOME activates a new window only then.
        QVERIFY(send(titleBarClick));
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:700,300")));
        QByteArray stamp;
        QVERIFY(send(QStringLiteral("stamp alt+x"), &stamp));
        const QJsonObject request = m_quillora.nextRequest();
        QElapsedTimer arrival; // the monotonic clock, as the script's
        arrival.start();
        const qint64 arrived = arrival.msecsSinceReference();
        const QString shotDirectory = qEnvironmentVariable("QUILLORA_GNOME_SHOT_DIR");
        if (!shotDirectory.isEmpty()) {
            QTest::qWait(1000);
            screen().save(shotDirectory + QStringLiteral("/gnome-card.png"));
        }
        QVERIFY2(request.value("selectedText").toString() == QStringLiteral("quick"),
            QJsonDocument(request).toJson(QJsonDocument::Compact).left(300).constData());
        // A figure, not a check: from the key going in to the request seen at the stub (its polling included).
        std::printf("Alt+X to the request at the stub: %lld ms\n", arrived - stamp.trimmed().toLongLong() / 1000000);
        QVERIFY(cardShows(cardPoints));
        QVERIFY(send(QStringLiteral("move:1,1")));
        QVERIFY(cardShows({ besidePointer }));
        QVERIFY2(screen().pixelColor(onTheBackground) != QColor(Qt::black), "the card hides the desktop");
        QVERIFY(send(QStringLiteral("escape")));
        pad.kill();
        pad.waitForFinished(2000);
        QVERIFY(cardShows(cardPoints, false));
    }

    // Alt+Z freezes the screen under the overlay, without a question as the permission is granted; a drag sends
    // the dragged pixels as a JPEG.
    void altZSendsTheDraggedRegion()
    {
        QVERIFY(send(QStringLiteral("alt+z")));
        QTest::qWait(2500); // the desktop's screenshot, then the overlay
        QVERIFY(send(QStringLiteral("move:-4000,-4000 move:300,200 press move:200,50 move:200,50 release")));
        const QJsonObject body = m_quillora.nextRequest();
        QCOMPARE(QuilloraUnderTest::jpegSize(body), QSize(400, 100));
        QVERIFY(send(QStringLiteral("escape"))); // the card
    }

    // Turning the switch off takes out Quillora's entries only; Alt+X then runs nothing.
    void switchingOffRemovesOnlyQuillorasKeys()
    {
        GnomeDesktopShortcuts shortcuts(QStringLiteral("quillora"), QDBusConnection::sessionBus());
        const DesktopShortcuts::Outcome removed = QCoro::waitFor(shortcuts.remove());
        QVERIFY2(removed.succeeded, qPrintable(removed.message));
        QCOMPARE(customKeybindings(), QStringList { userEntry });
        QCOMPARE(entryValue(userEntry, "command"), QStringLiteral("'xterm'"));
        QProcess pad;
        pad.start(QStringLiteral("/usr/bin/python3"), { QUILLORA_TEST_PAD, "--select", "4", "9" });
        QTRY_VERIFY_WITH_TIMEOUT(pad.canReadLine(), 15000);
        QTest::qWait(500);
        QVERIFY(send(titleBarClick));
        QVERIFY(send(QStringLiteral("alt+x")));
        QTest::qWait(1500);
        QCOMPARE(m_quillora.untakenRequests(), 0);
        pad.kill();
        pad.waitForFinished(2000);
    }
};

int main(int argc, char* argv[])
{
    return runInWaylandDesktop<TestGnomeEndToEnd>(argc, argv, "GNOME", "with-gnome-wayland.sh");
}

#include "tst_gnomeendtoend.moc"
