#pragma once

#include "capture/hotkeymanager.h"
#include "capture/servicehandler.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class AppSettings;
class CapturePresenter;
class SettingsWindow;
class LoginItem;
class QMenu;
class QSystemTrayIcon;
class TextCaptureCoordinator;
class UpdateChecker;
class UpdateWindow;

// The running instance: owns the tray icon, the global hot keys, the D-Bus entry and, from its first use
// on, the capture coordinator.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // The address "Contact Us" writes to, fixed at build time.
    static const QString supportAddress;

    // presenter: what the coordinator shows through; the popup window controller when null.
    explicit AppDelegate(QObject* parent = nullptr);
    explicit AppDelegate(std::unique_ptr<CapturePresenter> presenter, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Takes the session's D-Bus name. False when another instance already runs.
    bool registerService(QDBusConnection bus);

    // Builds what the running instance offers: the tray icon, the hot keys, the login item. Call once, after
    // registerService has taken the session's name. The card is not built ahead: it would hold about 15 MB all
    // day to save about 25 ms on the first trigger (bench/bench_startup).
    void applicationDidFinishLaunching();
    // Releases the hot keys and the D-Bus name; the user's clipboard and the login item stay as they are.
    void applicationWillTerminate();

    TextCaptureCoordinator& coordinator();
    HotkeyManager& hotkeyManager() { return m_hotkeyManager; }
    QSystemTrayIcon* statusItem() const { return m_statusItem; }

    // The tray menu, built anew for every click; the caller owns it.
    QMenu* buildStatusMenu();
    void statusItemClicked();

    // Registers the program to start at login once, at its first launch; a failure is retried at the next.
    static void registerLoginItemIfNeeded(AppSettings& settings, LoginItem& loginItem);

    void explainSelectedText();
    void explainText(const QString& text);
    void askAnything();
    void explainScreenshot();
    void openSettings();
    void checkForUpdates();
    void sendFeedback();
    // "Quit Quillora": applicationWillTerminate, then the event loop ends.
    void terminate();

private:
    void startUpdateChecks();
    void showOnboardingIfNeeded();

    void setupStatusItem();
    void registerHotkeys();
    // Runs the action from the event loop, so a hot key's handler returns before any work starts.
    void later(void (AppDelegate::*action)());

    QSystemTrayIcon* m_statusItem = nullptr; // a child of ours
    HotkeyManager m_hotkeyManager;
    ServiceHandler m_serviceHandler;
    std::optional<QDBusConnection> m_bus;
    std::unique_ptr<CapturePresenter> m_presenter;
    TextCaptureCoordinator* m_coordinator = nullptr;
    UpdateChecker* m_updateChecker = nullptr;
    UpdateWindow* m_updateWindow = nullptr;
    SettingsWindow* m_settingsWindow = nullptr;
};
