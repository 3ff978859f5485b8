#pragma once

#include "commandline/quilloraentry.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The session D-Bus entry org.quillora.Quillora (data/org.quillora.Quillora.xml, exported through the adaptor
// generated from it): desktop actions, the command line of a second start and any other program reach the
// running instance through it. Calls are answered at once; the work they ask for runs later on the main thread.
//
// The entry has a session-bus connection of its own, which refuses messages over maximumMessageSize as soon as
// their header arrives: any program of the session may call it, and a message of tens of MiB would otherwise be
// read whole and then, through libdbus's limit on unread data, stop the connection from ever reading again.
// Refusing closes that connection (libdbus's only way), so the entry then connects again and takes its name back.
class ServiceHandler : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    static inline const QString serviceName = QString::fromLatin1(QuilloraEntry::serviceName);
    static inline const QString objectPath = QString::fromLatin1(QuilloraEntry::objectPath);
    static inline const QString notAvailableError = QStringLiteral("org.quillora.Quillora.Error.NotAvailable");
    static inline const QString tooLongError = QStringLiteral("org.quillora.Quillora.Error.TooLong");
    static inline const QString busyError = QStringLiteral("org.quillora.Quillora.Error.TooManyRequests");

    // The longest text taken for an explanation, in characters (UTF-16 code units).
    static constexpr qsizetype maximumTextLength = QuilloraEntry::maximumTextLength;
    static QString tooLongMessage() { return QString::fromStdString(QuilloraEntry::tooLongMessage()); }
    // Calls that ask for work: a burst of this many passes, then one more per interval.
    static constexpr int burstSize = 8;
    static constexpr qint64 refillIntervalMs = 300;

    std::function<void(const QString&)> onTextReceived;
    std::function<void()> onExplainSelection;
    std::function<void()> onAskAnything;
    std::function<void()> onExplainScreenshot;
    std::function<void()> onOpenSettings;
    // Once for each burst of calls that was dropped (until a call passes again).
    std::function<void()> onCallsDropped;

    // The largest message the entry reads: the longest text in UTF-8 with room to spare, so an overlong text still
    // gets tooLongError. A larger one is dropped unread, and its caller told the entry left the bus.
    static constexpr long maximumMessageSize = 1024 * 1024;

    explicit ServiceHandler(QObject* parent = nullptr);
    ~ServiceHandler() override;

    // Connects the entry to the session bus, exports the object and takes the well-known name. False when
    // another instance owns the name (or there is no session bus); nothing stays connected then.
    bool listen();
    // Gives the name back (without waiting for the bus) and leaves the bus.
    void stopListening();
    bool isListening() const { return m_connection.has_value(); }

    // The interface's methods. Empty text is dropped; text over the limit is refused with tooLongError; any
    // other text is passed on exactly as received.
    void ExplainText(const QString& text);
    void ExplainSelection();
    void AskAnything();
    void ExplainScreenshot();
    void OpenSettings();

private slots:
    // The bus closed the entry's connection (a message over the limit, or the bus went away).
    void connectionLost();

private:
    void reconnect(int attemptsLeft);
    // The connection of the entry, connected and limited, or nullopt when the bus cannot be reached.
    static std::optional<QDBusConnection> connectLimited(const QString& name);
    void later(const std::function<void()>& action);
    // Takes one call from the rate budget; false (and the caller answered with busyError) when none is left.
    bool admit();

    double m_budget = burstSize;
    QElapsedTimer m_sinceRefill;
    bool m_dropping = false;
    std::optional<QDBusConnection> m_connection;
    QElapsedTimer m_sinceReconnect;
    int m_connections = 0; // each connection gets a new name: Qt keeps a closed one under its old name
};
