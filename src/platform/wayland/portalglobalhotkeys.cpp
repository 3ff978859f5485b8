#include "platform/wayland/portalglobalhotkeys.h"

#include "platform/wayland/portalrequest.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <optional>

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

using namespace std::chrono_literals;

// A dialog of the desktop may ask the user before keys are bound.
constexpr auto userAnswer = 120s;

const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

PortalShortcuts shortcutsIn(const QVariantMap& results)
{
    const QVariant value = results.value(QStringLiteral("shortcuts"));
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<PortalShortcuts>(value.value<QDBusArgument>());
    return value.value<PortalShortcuts>();
}

// Built outside the coroutines: GCC 12 miscompiles initializer lists there.
template <typename Keys> PortalShortcuts requestedShortcuts(const Keys& keys)
{
    PortalShortcuts shortcuts;
    for (auto key = keys.cbegin(); key != keys.cend(); ++key) {
        QVariantMap properties { { QStringLiteral("description"), key->description } };
        if (!key->trigger.isEmpty())
            properties.insert(QStringLiteral("preferred_trigger"), key->trigger);
        shortcuts.append({ PortalGlobalHotkeys::shortcutIdOf(key.key()), properties });
    }
    return shortcuts;
}

QVariantMap sessionOptions(const PortalShortcuts& shortcuts)
{
    return { { QStringLiteral("session_handle_token"), PortalGlobalHotkeys::sessionToken },
        { QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts) } };
}

// The session, then (for BindShortcuts) the shortcuts and the parent window, which Quillora has none of.
QVariantList sessionArguments(const QString& session, std::optional<PortalShortcuts> shortcuts = std::nullopt)
{
    QVariantList arguments { QVariant::fromValue(QDBusObjectPath(session)) };
    if (shortcuts)
        arguments << QVariant::fromValue(*shortcuts) << QString();
    return arguments;
}

} // namespace

PortalGlobalHotkeys::PortalGlobalHotkeys(QDBusConnection bus, QObject* parent)
    : GlobalHotkeys(parent)
    , m_bus(std::move(bus))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<PortalShortcuts>();
    // A portal that restarts forgets its sessions: open ours again.
    auto* watcher = new QDBusServiceWatcher(Portal::service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &PortalGlobalHotkeys::portalOwnerChanged);
}

PortalGlobalHotkeys::~PortalGlobalHotkeys()
{
    if (!m_session.isEmpty()) {
        m_bus.send(
            QDBusMessage::createMethodCall(Portal::service, m_session, sessionInterface, QStringLiteral("Close")));
    }
}

QString PortalGlobalHotkeys::triggerOf(quint32 keyCode, Qt::KeyboardModifiers modifiers)
{
    // The letters and digits by physical position (evdev codes), as a US layout names them.
    static const struct {
        quint32 firstCode;
        const char* keys;
    } rows[] = { { 2, "1234567890" }, { 16, "qwertyuiop" }, { 30, "asdfghjkl" }, { 44, "zxcvbnm" } };
    const quint32 code = keyCode - 8;
    QString key;
    for (const auto& row : rows) {
        const quint32 length = quint32(qstrlen(row.keys));
        if (code >= row.firstCode && code < row.firstCode + length)
            key = QChar::fromLatin1(row.keys[code - row.firstCode]);
    }
    if (key.isEmpty())
        return {};
    QString trigger;
    if (modifiers & Qt::ControlModifier)
        trigger += QStringLiteral("CTRL+");
    if (modifiers & Qt::AltModifier)
        trigger += QStringLiteral("ALT+");
    if (modifiers & Qt::ShiftModifier)
        trigger += QStringLiteral("SHIFT+");
    if (modifiers & Qt::MetaModifier)
        trigger += QStringLiteral("LOGO+");
    return trigger + key;
}

int PortalGlobalHotkeys::registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers)
{
    if (m_unavailable)
        return unavailableStatus;
    m_keys[id] = { triggerOf(keyCode, modifiers), m_descriptions.value(id, shortcutIdOf(id)) };
    scheduleSession();
    return 0;
}

void PortalGlobalHotkeys::unregisterHotkey(quint32 id)
{
    // The desktop keeps the key (the user may have changed it); presses of a key no longer registered are dropped.
    m_keys.remove(id);
}

void PortalGlobalHotkeys::describeHotkey(quint32 id, const QString& description)
{
    if (!description.isEmpty())
        m_descriptions[id] = description;
}

void PortalGlobalHotkeys::scheduleSession()
{
    if (std::exchange(m_scheduled, true))
        return;
    QTimer::singleShot(0, this, [this] {
        m_scheduled = false;
        [[maybe_unused]] auto task = openSession();
    });
}

QCoro::Task<> PortalGlobalHotkeys::openSession()
{
    if (m_opening || m_unavailable || m_keys.isEmpty())
        co_return;
    m_opening = true;
    const QPointer<PortalGlobalHotkeys> self(this);

    const PortalShortcuts shortcuts = requestedShortcuts(m_keys);

    if (m_session.isEmpty()) {
        // The portal's frontend may list the interface although the desktop's own backend lacks it: only a
        // session that opens counts.
        if (co_await Portal::interfaceVersion(m_bus, interface) == 0) {
            if (self) {
                m_opening = false;
                m_unavailable = true;
                sayOnce(QStringLiteral("this desktop offers no global shortcuts through its portal"));
            }
            co_return;
        }
        if (!self)
            co_return;
        // KDE Plasma 5.27 binds the keys given here, and only those.
        const Portal::Response created = co_await Portal::request(
            m_bus, interface, QStringLiteral("CreateSession"), {}, sessionOptions(shortcuts), m_deadline);
        if (!self)
            co_return;
        const QVariant handle = created.results.value(QStringLiteral("session_handle"));
        m_session = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
        if (!created.succeeded() || m_session.isEmpty()) {
            m_session.clear();
            m_opening = false;
            m_unavailable = true;
            sayOnce(QStringLiteral("the desktop opened no global shortcuts session (%1)").arg(created.describe()));
            co_return;
        }
        m_bus.connect(
            Portal::service, m_session, sessionInterface, QStringLiteral("Closed"), this, SLOT(sessionClosed()));
        // Once, and only now: made in the constructor, the match never saw a signal (Qt 6.4).
        if (!std::exchange(m_listening, true)) {
            m_bus.connect(Portal::service, Portal::objectPath, interface, QStringLiteral("Activated"), this,
                SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
            // The user changed a key in the desktop's settings.
            m_bus.connect(Portal::service, Portal::objectPath, interface, QStringLiteral("ShortcutsChanged"), this,
                SLOT(shortcutsChanged(QDBusMessage)));
        }
    }

    // Keys the desktop already has (from this start or an earlier one, perhaps changed by the user) are left as
    // they are: binding again would, on KDE, open System Settings at every start.
    const Portal::Response listed = co_await Portal::request(
        m_bus, interface, QStringLiteral("ListShortcuts"), sessionArguments(m_session), {}, m_deadline);
    if (!self)
        co_return;
    QStringList known;
    for (const PortalShortcut& shortcut : shortcutsIn(listed.results))
        known << shortcut.id;
    PortalShortcuts missing;
    for (const PortalShortcut& shortcut : std::as_const(shortcuts))
        if (!known.contains(shortcut.id))
            missing << shortcut;
    if (missing.isEmpty() || !listed.succeeded()) {
        co_await recordBindings(listed.results);
    } else {
        const Portal::Response bound = co_await Portal::request(
            m_bus, interface, QStringLiteral("BindShortcuts"), sessionArguments(m_session, shortcuts), {}, userAnswer);
        if (!self)
            co_return;
        if (!bound.succeeded())
            sayOnce(QStringLiteral("the desktop did not bind Quillora's keys (%1)").arg(bound.describe()));
        co_await recordBindings(bound.succeeded() ? bound.results : listed.results);
    }
    if (self)
        m_opening = false;
}

void PortalGlobalHotkeys::shortcutsChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() != 2 || arguments.at(0).value<QDBusObjectPath>().path() != m_session
        || !arguments.at(1).canConvert<QDBusArgument>())
        return;
    setBoundTriggers(qdbus_cast<PortalShortcuts>(arguments.at(1).value<QDBusArgument>()), false);
}

void PortalGlobalHotkeys::setBoundTriggers(const PortalShortcuts& shortcuts, bool replaceAll)
{
    if (replaceAll)
        m_boundTriggers.clear();
    // Only ours, and their words bounded: the desktop's text is shown in the settings window.
    for (const PortalShortcut& shortcut : shortcuts) {
        for (auto key = m_keys.cbegin(); key != m_keys.cend(); ++key) {
            if (shortcut.id == shortcutIdOf(key.key()))
                m_boundTriggers.insert(
                    shortcut.id, shortcut.properties.value(QStringLiteral("trigger_description")).toString().left(64));
        }
    }
    emit desktopKeysChanged();
}

std::optional<QString> PortalGlobalHotkeys::desktopKey(quint32 id) const
{
    const auto bound = m_boundTriggers.constFind(shortcutIdOf(id));
    return bound == m_boundTriggers.cend() ? std::nullopt : std::optional(*bound);
}

QCoro::Task<> PortalGlobalHotkeys::recordBindings(const QVariantMap& results)
{
    setBoundTriggers(shortcutsIn(results), true);
    for (auto key = m_keys.cbegin(); key != m_keys.cend(); ++key) {
        const QString id = shortcutIdOf(key.key());
        if (m_boundTriggers.contains(id) && m_boundTriggers.value(id).isEmpty()) {
            // Another program holds the key, or the user cleared it: the other keys keep working.
            std::printf("[PortalGlobalHotkeys] the desktop gave %s no key (%s may belong to another program); set "
                        "one in its keyboard shortcut settings\n",
                qPrintable(key->description), qPrintable(key->trigger));
            std::fflush(stdout);
        }
    }
    emit sessionReady();
    co_return;
}

void PortalGlobalHotkeys::activated(
    const QDBusObjectPath& session, const QString& shortcutId, qulonglong timestamp, const QVariantMap& options)
{
    Q_UNUSED(timestamp); // KDE sends 0
    Q_UNUSED(options);
    if (session.path() != m_session)
        return;
    for (auto key = m_keys.cbegin(); key != m_keys.cend(); ++key) {
        if (shortcutIdOf(key.key()) == shortcutId) {
            emit pressed(key.key());
            return;
        }
    }
}

void PortalGlobalHotkeys::sessionClosed()
{
    m_session.clear();
    m_boundTriggers.clear();
    // Once a second at most, should the desktop keep closing it.
    QTimer::singleShot(1000, this, &PortalGlobalHotkeys::scheduleSession);
}

void PortalGlobalHotkeys::portalOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner)
{
    Q_UNUSED(name);
    Q_UNUSED(oldOwner);
    m_session.clear();
    m_boundTriggers.clear();
    if (newOwner.isEmpty())
        return;
    m_unavailable = false;
    scheduleSession();
}

void PortalGlobalHotkeys::sayOnce(const QString& message)
{
    if (std::exchange(m_said, true))
        return;
    std::printf("[PortalGlobalHotkeys] %s; bind keys to `quillora --explain-selection`, `quillora --ask` or the "
                "D-Bus methods in the desktop's keyboard settings instead\n",
        qPrintable(message));
    std::fflush(stdout);
}
