#pragma once

#include "platform/globalhotkeys.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

#include <chrono>

class QDBusArgument;

// One shortcut as the portal passes it (D-Bus type (sa{sv})): its id and its properties (description,
// preferred_trigger, trigger_description).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
using PortalShortcuts = QList<PortalShortcut>;
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);
Q_DECLARE_METATYPE(PortalShortcut)

// Global keys through the desktop portal's GlobalShortcuts: the desktop binds them (and lets the user change them
// in its own settings) and tells Quillora when one is pressed. One session, under a fixed token, for the program's
// life: KDE keeps each token's keys as a component of their own, and a new token would make a rival one whose
// keys silently end up unbound. Keys are handed to the desktop together, once the registrations of one turn of
// the event loop are in; so registerHotkey only says whether the desktop has the portal at all.
class PortalGlobalHotkeys : public GlobalHotkeys {
    Q_OBJECT

public:
    static inline const QString interface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
    static inline const QString sessionToken = QStringLiteral("quillora");

    // bus: the session bus (tests pass a private bus with a stand-in portal).
    explicit PortalGlobalHotkeys(QDBusConnection bus, QObject* parent = nullptr);
    ~PortalGlobalHotkeys() override;

    int registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers) override;
    void unregisterHotkey(quint32 id) override;
    void describeHotkey(quint32 id, const QString& description) override;
    bool desktopOwnsKeys() const override { return true; }
    std::optional<QString> desktopKey(quint32 id) const override;

    // The portal's trigger for a key: "ALT+x" for Alt and the key X sits on (an X11 keycode); empty for a key
    // outside the letters and digits.
    static QString triggerOf(quint32 keyCode, Qt::KeyboardModifiers modifiers);
    // The shortcut id the portal knows a key by.
    static QString shortcutIdOf(quint32 id) { return QStringLiteral("quillora-%1").arg(id); }

    bool hasSession() const { return !m_session.isEmpty(); }
    // How long the portal has to answer a request that needs no user; tests shorten it.
    void setDeadline(std::chrono::milliseconds deadline) { m_deadline = deadline; }

signals:
    // The session is up and its keys are known (or the desktop turned them down; see desktopKey).
    void sessionReady();

private slots:
    void activated(
        const QDBusObjectPath& session, const QString& shortcutId, qulonglong timestamp, const QVariantMap& options);
    void sessionClosed();
    void shortcutsChanged(const QDBusMessage& message);
    void portalOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    struct Key {
        QString trigger;
        QString description;
    };
    void scheduleSession();
    QCoro::Task<> openSession();
    QCoro::Task<> recordBindings(const QVariantMap& results);
    // The keys as the desktop bound them: all of them, or (replaceAll false) those it names.
    void setBoundTriggers(const PortalShortcuts& shortcuts, bool replaceAll);
    void sayOnce(const QString& message);

    QDBusConnection m_bus;
    std::chrono::milliseconds m_deadline { 5000 };
    QMap<quint32, Key> m_keys;
    QMap<quint32, QString> m_descriptions;
    QMap<QString, QString> m_boundTriggers;
    QString m_session;
    bool m_scheduled = false;
    bool m_opening = false;
    bool m_unavailable = false;
    bool m_said = false;
    bool m_listening = false;
};
