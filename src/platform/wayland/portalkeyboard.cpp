#include "platform/wayland/portalkeyboard.h"

#include "platform/wayland/portalrequest.h"

#include <QCoroSignal>
#include <QCoroTimer>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QPointer>

#include <cstdio>

namespace {

// evdev key codes
constexpr int leftCtrl = 29, leftShift = 42, rightShift = 54, leftAlt = 56, rightAlt = 100, leftMeta = 125,
              rightMeta = 126, letterC = 46;
constexpr uint keyboardDevice = 1;
constexpr std::chrono::milliseconds keyHold { 10 };

const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// Built outside the coroutines: GCC 12 miscompiles initializer lists there.
QVariantMap createOptions() { return { { QStringLiteral("session_handle_token"), QStringLiteral("quillora_copy") } }; }
QVariantMap keyboardOnly() { return { { QStringLiteral("types"), keyboardDevice } }; }
QVariantList sessionArgument(const QString& session) { return { QVariant::fromValue(QDBusObjectPath(session)) }; }
QVariantList startArguments(const QString& session)
{
    return { QVariant::fromValue(QDBusObjectPath(session)), QString() }; // no parent window
}

void say(const QString& message)
{
    std::printf("[PortalKeyboard] %s\n", qPrintable(message));
    std::fflush(stdout);
}

} // namespace

PortalKeyboard::PortalKeyboard(QDBusConnection bus, bool sendsWithoutDialog, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_allowed(sendsWithoutDialog)
{
}

PortalKeyboard::~PortalKeyboard()
{
    if (m_session.isEmpty())
        return;
    // Gone while a copy shortcut was held: its keys must not stay down.
    for (int key : { letterC, leftCtrl })
        sendKey(key, false);
    m_bus.send(QDBusMessage::createMethodCall(Portal::service, m_session, sessionInterface, QStringLiteral("Close")));
}

bool PortalKeyboard::desktopSendsWithoutDialog()
{
    // KDE's portal lets programs outside a sandbox control input without a dialog; GNOME's asks every time.
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").split(':');
    return desktops.contains("KDE");
}

QCoro::Task<bool> PortalKeyboard::ensureSession()
{
    if (!m_session.isEmpty())
        co_return true;
    if (!m_allowed || m_refused)
        co_return false;
    const QPointer<PortalKeyboard> self(this);
    if (m_starting) {
        co_await qCoro(this, &PortalKeyboard::sessionSettled, m_deadline * 4);
        co_return self && !m_session.isEmpty();
    }
    m_starting = true;

    QString session;
    QString failure;
    const Portal::Response created
        = co_await Portal::request(m_bus, interface, QStringLiteral("CreateSession"), {}, createOptions(), m_deadline);
    if (!self)
        co_return false;
    session = created.results.value(QStringLiteral("session_handle")).toString();
    if (!created.succeeded() || session.isEmpty()) {
        failure = created.describe();
    } else {
        const Portal::Response selected = co_await Portal::request(
            m_bus, interface, QStringLiteral("SelectDevices"), sessionArgument(session), keyboardOnly(), m_deadline);
        if (!self)
            co_return false;
        if (!selected.succeeded()) {
            failure = selected.describe();
        } else {
            const Portal::Response started = co_await Portal::request(
                m_bus, interface, QStringLiteral("Start"), startArguments(session), {}, m_deadline);
            if (!self)
                co_return false;
            if (!started.succeeded())
                failure = started.describe();
            else if (!(started.results.value(QStringLiteral("devices")).toUInt() & keyboardDevice))
                failure = QStringLiteral("no keyboard was granted");
        }
    }

    m_starting = false;
    if (failure.isEmpty()) {
        m_session = session;
        m_bus.connect(Portal::service, m_session, sessionInterface, QStringLiteral("Closed"), this,
            SLOT(sessionClosed()));
    } else {
        m_refused = true;
        if (!session.isEmpty())
            m_bus.send(QDBusMessage::createMethodCall(Portal::service, session, sessionInterface, QStringLiteral("Close")));
        say(QStringLiteral("the desktop does not let Quillora send the copy shortcut (%1); selections are read "
                           "through accessibility only")
                .arg(failure));
    }
    emit sessionSettled();
    co_return failure.isEmpty();
}

void PortalKeyboard::sendKey(int evdevCode, bool pressed)
{
    QDBusMessage key = QDBusMessage::createMethodCall(
        Portal::service, Portal::objectPath, interface, QStringLiteral("NotifyKeyboardKeycode"));
    key << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap() << evdevCode << uint(pressed ? 1 : 0);
    // In order on one connection; no answer is awaited.
    m_bus.send(key);
}

QCoro::Task<bool> PortalKeyboard::sendCopyShortcut(bool toTerminal)
{
    // A terminal's program gets an interrupt from Ctrl+C with any other modifier than Shift. Keys the user still
    // holds (the hot key's Alt) cannot be seen from here, nor reliably let go of, so a terminal gets no key at
    // all: its selection is read through accessibility or the PRIMARY selection.
    if (toTerminal)
        co_return false;
    const QPointer<PortalKeyboard> self(this);
    if (!co_await ensureSession() || !self)
        co_return false;
    // The hot key's Alt may still be down: let go of every modifier first, or the application would see
    // Alt+Ctrl+C. Releasing a key that is up changes nothing.
    for (int modifier : { leftAlt, rightAlt, leftShift, rightShift, leftMeta, rightMeta })
        sendKey(modifier, false);
    // Each key is held a little, as a hand would: sent back to back, about one copy in six never reached KDE's
    // applications.
    sendKey(leftCtrl, true);
    co_await QCoro::sleepFor(keyHold);
    if (!self)
        co_return false;
    sendKey(letterC, true);
    co_await QCoro::sleepFor(keyHold);
    if (!self)
        co_return false;
    sendKey(letterC, false);
    sendKey(leftCtrl, false);
    co_return true;
}

void PortalKeyboard::sessionClosed()
{
    // The desktop ended it (the user stopped it from the notification): ask again at the next copy.
    m_session.clear();
}
