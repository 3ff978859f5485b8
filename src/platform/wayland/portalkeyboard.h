#pragma once

#include "platform/keyboardsynthesizer.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>

// The copy shortcut through the desktop portal's RemoteDesktop, on desktops whose portal lets a program that is
// not sandboxed send keys without asking (KDE Plasma). Elsewhere it sends nothing: a dialog must never appear in
// front of the user's work. One session serves the program's whole life, as KDE announces each new one.
class PortalKeyboard : public QObject, public KeyboardSynthesizer {
    Q_OBJECT

public:
    static inline const QString interface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");

    // sendsWithoutDialog: whether this desktop's portal starts a session without asking the user.
    PortalKeyboard(QDBusConnection bus, bool sendsWithoutDialog, QObject* parent = nullptr);
    ~PortalKeyboard() override;

    // Whether the session's desktop is one whose RemoteDesktop portal needs no dialog (from XDG_CURRENT_DESKTOP).
    static bool desktopSendsWithoutDialog();

    QCoro::Task<bool> sendCopyShortcut(bool toTerminal) override;
    bool canSendCopyShortcut() const override { return m_allowed; }

    // How long the portal has to answer each step; tests shorten it.
    void setDeadline(std::chrono::milliseconds deadline) { m_deadline = deadline; }
    bool hasSession() const { return !m_session.isEmpty(); }

signals:
    void sessionSettled();

private slots:
    void sessionClosed();

private:
    // The session, started once; false when the portal refused or did not answer (then never asked again).
    QCoro::Task<bool> ensureSession();
    void sendKey(int evdevCode, bool pressed);

    QDBusConnection m_bus;
    bool m_allowed;
    std::chrono::milliseconds m_deadline { 5000 };
    QString m_session;
    bool m_starting = false;
    bool m_refused = false;
};
