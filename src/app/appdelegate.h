#pragma once

#include "app/servicehandler.h"
#include "capture/hotkeymanager.h"
#include "capture/textcapturecoordinator.h"
#include "onboarding/onboardingwindowcontroller.h"
#include "platform/platform.h"
#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"
#include "screenshot/screenshotcapturemanager.h"
#include "service/quilloraapiclient.h"
#include "service/serviceendpoint.h"
#include "settings/hotkeysettings.h"
#include "settings/servicesettings.h"
#include "ui/qmlengineprovider.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class AppSettings;
class SettingsWindow;
class LoginItem;
class QMenu;
class QSystemTrayIcon;
class UpdateChecker;
class UpdateWindow;

// The running instance, and the one place that builds the long-lived objects: the platform's facilities, the
// QML engine, the service client, the popup, the capture coordinator, the onboarding and the windows. Each is
// handed what it uses; nothing below looks anything up by itself. Owns the tray icon, the global hot keys and
// the D-Bus entry.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // The address "Contact Us" writes to, fixed at build time.
    static const QString supportAddress;
    // How long after start-up a tray may still come up before the user is told there is none.
    static constexpr std::chrono::milliseconds trayWait { 2000 };

    // platform: the session's facilities; settings: the user's store, which must outlive this object;
    // endpoint: the explanation service, checked. presenter: where the coordinator's results go, the popup
    // when null (tests record them).
    AppDelegate(std::unique_ptr<Platform> platform, AppSettings& settings, const ServiceEndpoint& endpoint,
        std::unique_ptr<CapturePresenter> presenter = nullptr, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Opens the D-Bus entry and takes the session's name. False when another instance already runs.
    bool registerService();

    // Builds what the running instance offers: the tray icon, the hot keys, the login item. Call once, after
    // registerService has taken the session's name. The card is not built ahead: it would hold about 15 MB all
    // day to save about 25 ms on the first trigger (bench/bench_startup).
    void applicationDidFinishLaunching();
    // Releases the hot keys and the D-Bus name; the user's clipboard and the login item stay as they are.
    void applicationWillTerminate();

    TextCaptureCoordinator& coordinator() { return m_coordinator; }
    HotkeyManager& hotkeyManager() { return m_hotkeyManager; }
    PopupWindowController& popup() { return m_popup; }
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
    QCoro::Task<ScreenCapture::Permission> askForScreenshots();
    QCoro::Task<bool> screenshotsAllowed();

    void setupStatusItem();
    void tellOnceIfThereIsNoTray();
    void registerHotkeys();
    // Runs the action from the event loop, so a hot key's handler returns before any work starts.
    void later(void (AppDelegate::*action)());

    // In the order they are built; each is gone before what it was given.
    std::unique_ptr<Platform> m_platform;
    AppSettings& m_settings;
    QmlEngineProvider m_engines;
    ServiceSettings m_serviceSettings;
    QuilloraAPIClient m_apiClient;
    PopupViewModel m_popupViewModel;
    PopupWindowController m_popup;
    ScreenshotCaptureManager m_screenshots;
    std::unique_ptr<CapturePresenter> m_presenter;
    TextCaptureCoordinator m_coordinator;
    OnboardingWindowController m_onboarding;
    HotkeyManager m_hotkeyManager;
    HotkeySettings m_hotkeySettings; // the keys as the user chose them, applied through m_hotkeyManager
    ServiceHandler m_serviceHandler;
    QSystemTrayIcon* m_statusItem = nullptr; // a child of ours
    UpdateChecker* m_updateChecker = nullptr; // a child of ours
    std::unique_ptr<UpdateWindow> m_updateWindow;
    std::unique_ptr<SettingsWindow> m_settingsWindow;
};
