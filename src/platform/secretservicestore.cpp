#include "platform/secretservicestore.h"

#include <QCoroDBus>
#include <QCoroSignal>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QScopeGuard>

namespace {

const QString secretsService = QStringLiteral("org.freedesktop.secrets");
const QString servicePath = QStringLiteral("/org/freedesktop/secrets");
const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString collectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString itemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString promptInterface = QStringLiteral("org.freedesktop.Secret.Prompt");
// The keyring's way of saying "no prompt needed".
const QString noPrompt = QStringLiteral("/");

// A secret as the Secret Service carries it: (oayays).
struct SecretValue {
    QDBusObjectPath session { QStringLiteral("/") }; // a valid path even unset, for Qt to work out the signature
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

using Attributes = QMap<QString, QString>;
using SecretsByItem = QMap<QDBusObjectPath, SecretValue>;

} // namespace

Q_DECLARE_METATYPE(SecretValue)
Q_DECLARE_METATYPE(SecretsByItem)

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const SecretValue& secret)
{
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SecretValue& secret)
{
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

Attributes attributesFor(const QString& name)
{
    return Attributes { { QStringLiteral("application"), QStringLiteral("org.quillora.Quillora") },
        { QStringLiteral("name"), name } };
}

bool answered(const QDBusMessage& reply) { return reply.type() == QDBusMessage::ReplyMessage; }

// Catches a prompt's Completed signal, also one that comes before anyone awaits it.
class PromptCatcher : public QObject {
    Q_OBJECT

public:
    std::optional<bool> dismissed;

public slots:
    void completed(bool wasDismissed, const QDBusVariant&)
    {
        if (dismissed)
            return;
        dismissed = wasDismissed;
        emit done();
    }

signals:
    void done();
};

} // namespace

SecretServiceStore::SecretServiceStore(QDBusConnection bus)
    : m_bus(std::move(bus))
{
    static const bool registered = [] {
        qDBusRegisterMetaType<SecretValue>();
        qDBusRegisterMetaType<SecretsByItem>();
        qDBusRegisterMetaType<Attributes>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        return true;
    }();
    Q_UNUSED(registered);
}

QCoro::Task<QDBusMessage> SecretServiceStore::call(const QString& path, const QString& interface, const char* method,
    const QVariantList& arguments, std::chrono::milliseconds deadline)
{
    // The references are read before the first wait only.
    QDBusMessage message = QDBusMessage::createMethodCall(secretsService, path, interface, QString::fromLatin1(method));
    message.setArguments(arguments);
    // Kept in a variable: the awaiter holds a reference to it across the wait.
    const QDBusPendingCall pending = m_bus.asyncCall(message, int(deadline.count()));
    co_return co_await pending;
}

QCoro::Task<std::optional<QDBusObjectPath>> SecretServiceStore::openSession()
{
    // Copies: QCoro's co_return moves from an lvalue, which would empty the member.
    if (m_session)
        co_return std::optional(m_session);
    const QVariantList arguments { QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString())) };
    const QDBusMessage reply = co_await call(servicePath, serviceInterface, "OpenSession", arguments);
    if (!answered(reply) || reply.arguments().size() < 2)
        co_return std::nullopt;
    // A keyring that went away and came back forgets its sessions: each session lives as long as this object, and
    // a failed call below drops it.
    m_session = reply.arguments().at(1).value<QDBusObjectPath>();
    co_return std::optional(m_session);
}

QCoro::Task<SecretServiceStore::Found> SecretServiceStore::find(QString name)
{
    const QVariantList arguments { QVariant::fromValue(attributesFor(name)) };
    const QDBusMessage reply = co_await call(servicePath, serviceInterface, "SearchItems", arguments);
    Found found;
    if (!answered(reply) || reply.arguments().size() < 2)
        co_return found;
    found.unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
    found.locked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
    found.outcome = found.unlocked.isEmpty() && found.locked.isEmpty() ? Outcome::NotFound : Outcome::Done;
    co_return found;
}

QCoro::Task<bool> SecretServiceStore::prompt(QDBusObjectPath path)
{
    PromptCatcher catcher;
    const char* slot = SLOT(completed(bool, QDBusVariant));
    // Listening before the prompt shows, as it may be answered at once.
    m_bus.connect(secretsService, path.path(), promptInterface, QStringLiteral("Completed"), &catcher, slot);
    const auto stopListening = qScopeGuard([&] {
        m_bus.disconnect(secretsService, path.path(), promptInterface, QStringLiteral("Completed"), &catcher, slot);
    });
    const QString promptObject = path.path();
    const QVariantList noWindow { QString() };
    const QDBusMessage shown = co_await call(promptObject, promptInterface, "Prompt", noWindow);
    if (!answered(shown))
        co_return false;
    if (!catcher.dismissed)
        co_await qCoro(&catcher, &PromptCatcher::done, unlockDeadline);
    if (!catcher.dismissed) {
        // Left unanswered: the question goes away rather than wait for someone who is not there.
        const QVariantList none;
        const QDBusMessage ignored = co_await call(promptObject, promptInterface, "Dismiss", none);
        Q_UNUSED(ignored);
        co_return false;
    }
    co_return !*catcher.dismissed;
}

QCoro::Task<SecretStore::Outcome> SecretServiceStore::unlock(QList<QDBusObjectPath> objects)
{
    const QVariantList arguments { QVariant::fromValue(objects) };
    const QDBusMessage reply = co_await call(servicePath, serviceInterface, "Unlock", arguments);
    if (!answered(reply) || reply.arguments().size() < 2)
        co_return Outcome::Unavailable;
    const QDBusObjectPath promptPath = reply.arguments().at(1).value<QDBusObjectPath>();
    co_return co_await confirmed(promptPath);
}

QCoro::Task<SecretStore::Outcome> SecretServiceStore::confirmed(QDBusObjectPath promptPath)
{
    if (promptPath.path().isEmpty() || promptPath.path() == noPrompt)
        co_return Outcome::Done;
    const bool answered = co_await prompt(promptPath);
    co_return answered ? Outcome::Done : Outcome::Locked;
}

QCoro::Task<SecretStore::Read> SecretServiceStore::read(QString name)
{
    Read result;
    const std::optional<QDBusObjectPath> session = co_await openSession();
    if (!session)
        co_return result;
    const Found found = co_await find(name);
    if (found.outcome != Outcome::Done) {
        result.outcome = found.outcome;
        co_return result;
    }
    QList<QDBusObjectPath> items = found.unlocked.mid(0, 1);
    if (items.isEmpty()) {
        items = found.locked.mid(0, 1);
        result.outcome = co_await unlock(items);
        if (result.outcome != Outcome::Done)
            co_return result;
    }
    const QVariantList arguments { QVariant::fromValue(items), QVariant::fromValue(*session) };
    const QDBusMessage reply = co_await call(servicePath, serviceInterface, "GetSecrets", arguments);
    result.outcome = Outcome::Unavailable;
    if (!answered(reply) || reply.arguments().isEmpty()) {
        m_session.reset();
        co_return result;
    }
    const SecretsByItem secrets = qdbus_cast<SecretsByItem>(reply.arguments().at(0));
    if (secrets.contains(items.first())) {
        result.outcome = Outcome::Done;
        result.secret = secrets.value(items.first()).value;
    }
    co_return result;
}

QCoro::Task<SecretStore::Outcome> SecretServiceStore::write(QString name, QByteArray secret, QString label)
{
    const std::optional<QDBusObjectPath> session = co_await openSession();
    if (!session)
        co_return Outcome::Unavailable;
    const QVariantList defaultAlias { QStringLiteral("default") };
    const QDBusMessage alias = co_await call(servicePath, serviceInterface, "ReadAlias", defaultAlias);
    const QDBusObjectPath collection
        = answered(alias) ? alias.arguments().value(0).value<QDBusObjectPath>() : QDBusObjectPath();
    // No default keyring: making one means choosing its password, which is the keyring manager's business.
    if (collection.path().isEmpty() || collection.path() == noPrompt)
        co_return Outcome::Unavailable;
    const QList<QDBusObjectPath> toUnlock { collection };
    const Outcome unlocked = co_await unlock(toUnlock);
    if (unlocked != Outcome::Done)
        co_return unlocked;

    QVariantMap properties;
    properties.insert(QStringLiteral("org.freedesktop.Secret.Item.Label"), label);
    properties.insert(
        QStringLiteral("org.freedesktop.Secret.Item.Attributes"), QVariant::fromValue(attributesFor(name)));
    SecretValue value;
    value.session = *session;
    value.value = secret;
    value.contentType = QStringLiteral("text/plain");
    const QVariantList arguments { properties, QVariant::fromValue(value), true };
    const QString collectionObject = collection.path();
    const QDBusMessage reply = co_await call(collectionObject, collectionInterface, "CreateItem", arguments);
    if (!answered(reply) || reply.arguments().size() < 2) {
        m_session.reset();
        co_return Outcome::Unavailable;
    }
    const QDBusObjectPath promptPath = reply.arguments().at(1).value<QDBusObjectPath>();
    co_return co_await confirmed(promptPath);
}

QCoro::Task<SecretStore::Outcome> SecretServiceStore::remove(QString name)
{
    const Found found = co_await find(name);
    if (found.outcome == Outcome::NotFound)
        co_return Outcome::Done;
    if (found.outcome != Outcome::Done)
        co_return found.outcome;
    if (!found.locked.isEmpty()) {
        const Outcome unlocked = co_await unlock(found.locked);
        if (unlocked != Outcome::Done)
            co_return unlocked;
    }
    const QList<QDBusObjectPath> items = found.unlocked + found.locked;
    for (const QDBusObjectPath& item : items) {
        const QVariantList none;
        const QString itemObject = item.path();
        const QDBusMessage reply = co_await call(itemObject, itemInterface, "Delete", none);
        if (!answered(reply))
            co_return Outcome::Unavailable;
        const QDBusObjectPath promptPath = reply.arguments().value(0).value<QDBusObjectPath>();
        const Outcome deleted = co_await confirmed(promptPath);
        if (deleted != Outcome::Done)
            co_return deleted;
    }
    co_return Outcome::Done;
}

#include "secretservicestore.moc"
