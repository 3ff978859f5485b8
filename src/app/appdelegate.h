#pragma once

#include "capture/servicehandler.h"

#include <QObject>

#include <memory>

class CapturePresenter;
class SettingsWindow;
class TextCaptureCoordinator;
class UpdateChecker;
class UpdateWindow;

// The running instance: owns the D-Bus entry and, from its first use on, the capture coordinator.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Takes the session's D-Bus name and then preloads the popup. False when another instance already runs.
    bool registerService(QDBusConnection bus);

    TextCaptureCoordinator& coordinator();

    void explainSelectedText();
    void explainText(const QString& text);
    void askAnything();
    void explainScreenshot();
    void openSettings();
    void checkForUpdates();

private:
    void startUpdateChecks();
    void showOnboardingIfNeeded();

    ServiceHandler m_serviceHandler;
    std::unique_ptr<CapturePresenter> m_presenter;
    TextCaptureCoordinator* m_coordinator = nullptr;
    UpdateChecker* m_updateChecker = nullptr;
    UpdateWindow* m_updateWindow = nullptr;
    SettingsWindow* m_settingsWindow = nullptr;
};
