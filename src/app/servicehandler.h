#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

// The session D-Bus entry org.quillora.Quillora (data/org.quillora.Quillora.xml, exported through the adaptor
// generated from it): desktop actions, the command line of a second start and any other program reach the
// running instance through it. Calls are answered at once; the work they ask for runs later on the main thread.
class ServiceHandler : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    static inline const QString serviceName = QStringLiteral("org.quillora.Quillora");
    static inline const QString objectPath = QStringLiteral("/org/quillora/Quillora");
    static inline const QString notAvailableError = QStringLiteral("org.quillora.Quillora.Error.NotAvailable");
    static inline const QString tooLongError = QStringLiteral("org.quillora.Quillora.Error.TooLong");
    static inline const QString busyError = QStringLiteral("org.quillora.Quillora.Error.TooManyRequests");

    // The longest text taken for an explanation, in characters (UTF-16 code units).
    static constexpr qsizetype maximumTextLength = 100'000;
    static QString tooLongMessage();
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

    explicit ServiceHandler(QObject* parent = nullptr);

    // Exports the object and takes the well-known name. False when another instance owns the name
    // (or the bus refused); nothing stays registered then.
    bool registerOn(QDBusConnection bus);

    // The interface's methods. Empty text is dropped; text over the limit is refused with tooLongError; any
    // other text is passed on exactly as received.
    void ExplainText(const QString& text);
    void ExplainSelection();
    void AskAnything();
    void ExplainScreenshot();
    void OpenSettings();

private:
    void later(const std::function<void()>& action);
    // Takes one call from the rate budget; false (and the caller answered with busyError) when none is left.
    bool admit();

    double m_budget = burstSize;
    QElapsedTimer m_sinceRefill;
    bool m_dropping = false;
};
