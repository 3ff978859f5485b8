#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

#include <functional>

// The session D-Bus entry org.quillora.Quillora: desktop actions, the command line of a second start and
// any other program reach the running instance through it. Calls are answered at once; the work they
// ask for runs later on the main thread.
class ServiceHandler : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.quillora.Quillora")

public:
    static inline const QString serviceName = QStringLiteral("org.quillora.Quillora");
    static inline const QString objectPath = QStringLiteral("/org/quillora/Quillora");
    static inline const QString interfaceName = QStringLiteral("org.quillora.Quillora");
    static inline const QString notAvailableError = QStringLiteral("org.quillora.Quillora.Error.NotAvailable");

    std::function<void(const QString&)> onTextReceived;
    std::function<void()> onExplainSelection;
    std::function<void()> onAskAnything;
    std::function<void()> onExplainScreenshot;
    std::function<void()> onOpenSettings;

    using QObject::QObject;

    // Exports the object and takes the well-known name. False when another instance owns the name
    // (or the bus refused); nothing stays registered then.
    bool registerOn(QDBusConnection bus);

public slots:
    // Empty text is dropped; any other text is passed on exactly as received.
    Q_SCRIPTABLE void ExplainText(const QString& text);
    Q_SCRIPTABLE void ExplainSelection();
    Q_SCRIPTABLE void AskAnything();
    Q_SCRIPTABLE void ExplainScreenshot();
    Q_SCRIPTABLE void OpenSettings();

private:
    void later(const std::function<void()>& action);
};
