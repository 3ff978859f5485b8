#pragma once

#include "platform/secretstore.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>

#include <chrono>
#include <optional>

// The desktop's keyring through the freedesktop Secret Service (gnome-keyring, KWallet, KeePassXC), spoken over
// D-Bus directly: libsecret would need GLib's main loop, which this program leaves to its accessibility thread.
// Secrets travel in a "plain" session, over the user's own session bus, as libsecret's fallback does.
class SecretServiceStore final : public SecretStore {
public:
    // Each call to the keyring; a keyring that has not answered by then counts as absent.
    static constexpr std::chrono::milliseconds callDeadline { 5000 };
    // A locked keyring asks the user to unlock it; the question stays open at most this long.
    static constexpr std::chrono::milliseconds unlockDeadline { 120'000 };

    explicit SecretServiceStore(QDBusConnection bus = QDBusConnection::sessionBus());

    QCoro::Task<Read> read(QString name) override;
    QCoro::Task<Outcome> write(QString name, QByteArray secret, QString label) override;
    QCoro::Task<Outcome> remove(QString name) override;

private:
    struct Found {
        Outcome outcome = Outcome::Unavailable;
        QList<QDBusObjectPath> unlocked;
        QList<QDBusObjectPath> locked;
    };
    QCoro::Task<QDBusMessage> call(const QString& path, const QString& interface, const char* method,
        const QVariantList& arguments, std::chrono::milliseconds deadline = callDeadline);
    QCoro::Task<std::optional<QDBusObjectPath>> openSession();
    QCoro::Task<Found> find(QString name);
    // Unlocks the objects, asking the user where the keyring wants to; false when they stay locked.
    QCoro::Task<Outcome> unlock(QList<QDBusObjectPath> objects);
    // Done where the keyring needs no prompt ("/"), else the prompt's answer: Done, or Locked when dismissed.
    QCoro::Task<Outcome> confirmed(QDBusObjectPath promptPath);
    // Shows a prompt the keyring handed back and waits for the user; true when it was answered, not dismissed.
    QCoro::Task<bool> prompt(QDBusObjectPath path);

    QDBusConnection m_bus;
    std::optional<QDBusObjectPath> m_session;
};
