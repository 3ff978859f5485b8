#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QTemporaryDir>

// A session bus of the test's own, with no services to start: a call to a service that is not there must not
// start the machine's real one.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the bus did not start.
    QString address() const { return m_address; }
    // A new connection, named after its role in the test.
    QDBusConnection connect(const QString& role);

private:
    QTemporaryDir m_files;
    QProcess m_daemon;
    QString m_address;
    int m_connections = 0;
};
