// The keyring through the Secret Service, against Debian's gnome-keyring on a private bus: what is written
// reads back, replaces, and goes; and without any keyring every call says so at once.
#include "platform/secretservicestore.h"
#include "privatebus.h"

#include <QCoroTask>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using Outcome = SecretStore::Outcome;

class SecretServiceStoreTest : public QObject {
    Q_OBJECT

    PrivateBus m_bus;

private slots:
    void withoutAKeyringEveryCallSaysSo()
    {
        QVERIFY(!m_bus.address().isEmpty());
        SecretServiceStore store(m_bus.connect(QStringLiteral("client")));
        QCOMPARE(QCoro::waitFor(store.read(QStringLiteral("token"))).outcome, Outcome::Unavailable);
        QCOMPARE(
            QCoro::waitFor(store.write(QStringLiteral("token"), "t", QStringLiteral("label"))), Outcome::Unavailable);
        QCOMPARE(QCoro::waitFor(store.remove(QStringLiteral("token"))), Outcome::Unavailable);
    }

    void aSecretIsWrittenReadReplacedAndRemoved()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
            QSKIP("gnome-keyring is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
        QProcess keyring;
        keyring.setProcessEnvironment(environment);
        // --unlock creates the login keyring, unlocked, with the password it reads.
        keyring.start(QStringLiteral("gnome-keyring-daemon"),
            { QStringLiteral("--foreground"), QStringLiteral("--components=secrets"), QStringLiteral("--unlock") });
        keyring.write("test password");
        keyring.closeWriteChannel();
        QDBusConnection client = m_bus.connect(QStringLiteral("client"));
        QTRY_VERIFY_WITH_TIMEOUT(
            client.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")), 10000);

        SecretServiceStore store(client);
        const QString name = QStringLiteral("serviceToken");
        QCOMPARE(QCoro::waitFor(store.read(name)).outcome, Outcome::NotFound);
        QCOMPARE(QCoro::waitFor(store.remove(name)), Outcome::Done);
        const QByteArray token("team token \xc3\xa9 with bytes \x01\x7f");
        QCOMPARE(QCoro::waitFor(store.write(name, token, QStringLiteral("Quillora service token"))), Outcome::Done);
        SecretStore::Read read = QCoro::waitFor(store.read(name));
        QCOMPARE(read.outcome, Outcome::Done);
        QCOMPARE(read.secret, token);
        QCOMPARE(QCoro::waitFor(store.read(QStringLiteral("other"))).outcome, Outcome::NotFound);

        // Written again, the secret is replaced, not stored twice; a second store finds it too.
        QCOMPARE(QCoro::waitFor(store.write(name, "second", QStringLiteral("Quillora service token"))), Outcome::Done);
        SecretServiceStore another(m_bus.connect(QStringLiteral("another")));
        read = QCoro::waitFor(another.read(name));
        QCOMPARE(read.secret, QByteArray("second"));
        QCOMPARE(QCoro::waitFor(another.remove(name)), Outcome::Done);
        QCOMPARE(QCoro::waitFor(store.read(name)).outcome, Outcome::NotFound);

        // Locked, the keyring asks for its password through a prompt, which this session cannot show: the read
        // says Locked rather than wait, and the caller keeps to the settings file.
        QCOMPARE(QCoro::waitFor(store.write(name, token, QStringLiteral("Quillora service token"))), Outcome::Done);
        QDBusMessage alias = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
            QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.Secret.Service"),
            QStringLiteral("ReadAlias"));
        alias << QStringLiteral("default");
        const QDBusObjectPath collection = client.call(alias).arguments().value(0).value<QDBusObjectPath>();
        QDBusMessage lock = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
            QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.Secret.Service"),
            QStringLiteral("Lock"));
        lock << QVariant::fromValue(QList<QDBusObjectPath> { collection });
        QCOMPARE(client.call(lock).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(QCoro::waitFor(store.read(name)).outcome, Outcome::Locked);

        keyring.terminate();
        keyring.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(SecretServiceStoreTest)
#include "tst_secretservicestore.moc"
