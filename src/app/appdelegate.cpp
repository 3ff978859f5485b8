#include "app/appdelegate.h"

#include "app/popuppresenter.h"
#include "app/updatechecker.h"
#include "app/updatewindow.h"
#include "settings/appsettings.h"
#include "settings/settingswindow.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <array>
#include <cstdio>
#include <functional>

const QString AppDelegate::supportAddress = QStringLiteral(QUILLORA_SUPPORT_ADDRESS);

AppDelegate::AppDelegate(std::unique_ptr<Platform> platform, AppSettings& settings, const ServiceEndpoint& endpoint,
    std::unique_ptr<CapturePresenter> presenter, QObject* parent)
    : QObject(parent)
    , m_platform(std::move(platform))
    , m_settings(settings)
    , m_serviceSettings(settings, *m_platform->secrets, endpoint)
    , m_apiClient(endpoint.url, endpoint.token)
    , m_popupViewModel(m_apiClient, std::bind_front(&AppSettings::customSystemPrompt, &settings))
    , m_popup(m_popupViewModel, *m_platform, m_engines)
    , m_screenshots(*m_platform)
    , m_presenter(
          presenter ? std::move(presenter) : std::make_unique<PopupPresenter>(m_popup, *m_platform->accessibility))
    , m_coordinator(*m_presenter, *m_platform, m_screenshots)
    , m_onboarding(settings, *m_platform->accessibility, m_engines)
    , m_hotkeyManager(*m_platform->globalHotkeys)
    , m_hotkeySettings(settings, std::bind_front(&HotkeyManager::changeHotkey, &m_hotkeyManager),
          m_platform->globalHotkeys->desktopOwnsKeys() || m_platform->desktopShortcuts)
{
    m_apiClient.setUserId(settings.userId());
    connect(&m_serviceSettings, &ServiceSettings::endpointChanged, this,
        [this] { m_apiClient.setService(m_serviceSettings.endpoint().url, m_serviceSettings.endpoint().token); });
    // The handler is our member and runs its actions from timers it owns, so it never outlives us.
    m_serviceHandler.onTextReceived = [this](const QString& text) { explainText(text); };
    m_serviceHandler.onExplainSelection = [this] { explainSelectedText(); };
    m_serviceHandler.onAskAnything = [this] { askAnything(); };
    m_serviceHandler.onOpenSettings = [this] { openSettings(); };
    m_updateChecker
        = new UpdateChecker(UpdateChecker::compiledFeed(), QCoreApplication::applicationVersion(), &settings, this);
    if (QCoreApplication::instance())
        connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    m_serviceHandler.onExplainScreenshot = [this] { explainScreenshot(); };
    m_serviceHandler.onCallsDropped = [this] {
        // Never over a card: it holds or awaits the answer of a call that was let through.
        if (m_popup.isShowingCard())
            return;
        m_popup.showSimpleNotice(QStringLiteral("exclamationmark.triangle"),
            QStringLiteral("Too many requests at once; some were dropped."), std::chrono::seconds(3));
    };
}

AppDelegate::~AppDelegate()
{
    // The windows go before the engine their views were made in.
    m_settingsWindow.reset();
    m_updateWindow.reset();
}

bool AppDelegate::registerService() { return m_serviceHandler.listen(); }

void AppDelegate::applicationDidFinishLaunching()
{
    // The token is read from the keyring (or moved there) while the first request, if any, waits for it.
    if (m_serviceSettings.needsKeyring()) {
        m_apiClient.holdRequests();
        m_serviceSettings.load();
    }
    startUpdateChecks();
    setupStatusItem();
    registerHotkeys();
    // The D-Bus entry was installed before launch: taking its name is how a second start finds this one.
    registerLoginItemIfNeeded(m_settings, *m_platform->loginItem);
    showOnboardingIfNeeded();
}

void AppDelegate::applicationWillTerminate()
{
    m_hotkeyManager.unregisterAll();
    m_serviceHandler.stopListening();
}

void AppDelegate::terminate()
{
    applicationWillTerminate();
    QCoreApplication::quit();
}

void AppDelegate::setupStatusItem()
{
    // The installed application icon, which an icon theme may restyle; else the one compiled in, and the
    // sparkles symbol should even that be missing.
    QIcon icon = QIcon::fromTheme(QStringLiteral("org.quillora.Quillora"));
    for (const char* fallback : { ":/Quillora/app/org.quillora.Quillora.svg", ":/Quillora/ui/icons/sparkles.svg" }) {
        if (icon.isNull() && QFile::exists(QLatin1String(fallback)))
            icon = QIcon(QLatin1String(fallback));
    }
    m_statusItem = new QSystemTrayIcon(icon, this);
    m_statusItem->setToolTip(QStringLiteral("Quillora"));
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
            statusItemClicked();
    });
    // Shown even without a tray: Qt puts the icon there as soon as one starts (a panel that starts after us).
    m_statusItem->show();
    // A panel that starts with the session may bring its tray a little after us.
    QTimer::singleShot(trayWait, this, &AppDelegate::tellOnceIfThereIsNoTray);
}

void AppDelegate::tellOnceIfThereIsNoTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable() || m_settings.hasToldOfNoTray())
        return;
    // GNOME without its AppIndicator extension, say: the user would otherwise look for an icon that never shows.
    std::printf("[AppDelegate] this desktop has no system tray; Quillora keeps running and answers its hot keys, "
                "the quillora command and D-Bus\n");
    std::fflush(stdout);
    m_settings.setHasToldOfNoTray(true);
    QDBusMessage notify = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    notify << QStringLiteral("Quillora") << 0u << QStringLiteral("org.quillora.Quillora")
           << QStringLiteral("Quillora runs without a tray icon")
           << QStringLiteral("This desktop shows no tray icons. Quillora keeps running: use its keys, or open "
                             "Quillora from your applications for its settings; its entry there also lists its "
                             "commands.")
           << QStringList() << QVariantMap() << -1;
    // Not waited for: a desktop without a notification service just does not show it.
    QDBusConnection::sessionBus().send(notify);
}

void AppDelegate::registerHotkeys()
{
    // Each handler only schedules its work, so the key event is answered at once.
    const QPointer<AppDelegate> self(this);
    const std::array actions { &AppDelegate::explainSelectedText, &AppDelegate::explainScreenshot,
        &AppDelegate::askAnything };
    static_assert(actions.size() == HotkeySettings::commands.size());
    // The keys the user chose, or the defaults: Alt+X, Alt+Z, Alt+A.
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const HotkeySettings::Command& command = HotkeySettings::commands[i];
        const QKeyCombination key = HotkeySettings::storedKey(m_settings, command);
        const int status = m_hotkeyManager.registerHotkey(command.id, HotkeySettings::keyCode(key.key()),
            key.keyboardModifiers(), QString::fromLatin1(command.name), [self, action = actions[i], id = command.id] {
                // While a new key is being recorded, ours are keys like any other.
                if (self && !self->m_hotkeySettings.takeGlobalKey(id))
                    self->later(action);
            });
        if (status != 0)
            m_hotkeySettings.keyNotTaken(command.id, status);
    }
    // Where the desktop hands out the keys, the settings show the ones it bound.
    GlobalHotkeys* hotkeys = m_platform->globalHotkeys.get();
    connect(hotkeys, &GlobalHotkeys::desktopKeysChanged, this, [this, hotkeys] {
        for (const HotkeySettings::Command& command : HotkeySettings::commands)
            m_hotkeySettings.showDesktopKey(command.id, hotkeys->desktopKey(command.id));
    });
}

void AppDelegate::later(void (AppDelegate::*action)()) { QTimer::singleShot(0, this, action); }

void AppDelegate::registerLoginItemIfNeeded(AppSettings& settings, LoginItem& loginItem)
{
    if (settings.hasRegisteredLoginItem())
        return;
    // A failure leaves the flag unset, so the next launch tries again; nobody is told.
    if (loginItem.registerItem())
        settings.setHasRegisteredLoginItem(true);
}

QMenu* AppDelegate::buildStatusMenu()
{
    auto* menu = new QMenu;
    const std::pair<const char*, void (AppDelegate::*)()> commands[] { { "Explain Selected Text",
                                                                           &AppDelegate::explainSelectedText },
        { "Explain Screenshot", &AppDelegate::explainScreenshot }, { "Ask Anything", &AppDelegate::askAnything } };
    for (int row = 0; row < 3; ++row) {
        QAction* action = menu->addAction(QString(), this, commands[row].second);
        // Each names its key, as chosen in the settings.
        const auto label = [this, action, row, name = QLatin1String(commands[row].first)] {
            action->setText(QStringLiteral("%1 (%2)").arg(name, m_hotkeySettings.keyText(row)));
        };
        label();
        connect(&m_hotkeySettings, &HotkeySettings::rowsChanged, action, label);
    }
    menu->addSeparator();
    menu->addAction(QStringLiteral("Check for Updates..."), this, &AppDelegate::checkForUpdates);
    menu->addAction(
        QStringLiteral("Settings..."), QKeySequence(Qt::CTRL | Qt::Key_Comma), this, &AppDelegate::openSettings);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Contact Us"), this, &AppDelegate::sendFeedback);
    menu->addSeparator();
    // Queued: the menu finishes its own handling before the event loop ends.
    menu->addAction(QStringLiteral("Quit Quillora"), QKeySequence(Qt::CTRL | Qt::Key_Q), this, &AppDelegate::terminate,
        Qt::QueuedConnection);
    return menu;
}

void AppDelegate::statusItemClicked()
{
    // A fresh menu per click, gone once it closes; the icon carries no menu at rest.
    QMenu* menu = buildStatusMenu();
    connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
    menu->popup(QCursor::pos());
}

void AppDelegate::sendFeedback()
{
    QUrl url(QStringLiteral("mailto:") + QString::fromUtf8(QUrl::toPercentEncoding(supportAddress, "@"))
        + QStringLiteral("?subject=fix%20this%20for%20me%20plz"));
    QDesktopServices::openUrl(url);
}

// Each command that ends in a request once the selection is read, the region dragged or the question typed opens
// the connection to the service first, so that the request does not wait for its handshakes then.
void AppDelegate::explainSelectedText()
{
    m_apiClient.connectAhead();
    // Runs on by itself; the coordinator guards its own lifetime across the waits.
    m_coordinator.explainSelectedText();
}

void AppDelegate::explainText(const QString& text) { m_coordinator.explainText(text); }

void AppDelegate::askAnything()
{
    m_apiClient.connectAhead();
    m_coordinator.askAnything();
}

void AppDelegate::explainScreenshot()
{
    m_apiClient.connectAhead();
    m_coordinator.explainScreenshot();
}

void AppDelegate::openSettings()
{
    if (!m_settingsWindow) {
        m_settingsWindow = std::make_unique<SettingsWindow>(m_settings, m_platform->loginItem.get(), m_engines.engine(),
            m_platform->desktopShortcuts.get(), &m_serviceSettings, &m_hotkeySettings);
    }
    m_settingsWindow->open();
}

void AppDelegate::checkForUpdates() { m_updateChecker->checkForUpdates(); }

void AppDelegate::startUpdateChecks()
{
    connect(m_updateChecker, &UpdateChecker::announce, this, [this](const UpdateCheckResult& result) {
        if (!m_updateWindow)
            m_updateWindow = std::make_unique<UpdateWindow>(m_updateChecker->currentVersion(), m_engines.engine());
        m_updateWindow->show(result);
    });
    m_updateChecker->startAutomaticChecks();
}

QCoro::Task<ScreenCapture::Permission> AppDelegate::askForScreenshots()
{
    // One screenshot, thrown away: where the desktop asks the user first (its portal's dialog), it asks now.
    QPointer<AppDelegate> self(this);
    co_await m_platform->screenCapture->grabScreens(m_platform->screens->screens());
    if (!self)
        co_return ScreenCapture::Permission::NotAsked;
    const ScreenCapture::Permission answer = co_await m_platform->screenCapture->permission();
    if (!self)
        co_return ScreenCapture::Permission::NotAsked;
    if (answer == ScreenCapture::Permission::Refused) {
        std::printf("[AppDelegate] the desktop refused screenshots; Alt+Z cannot work until it allows them\n");
        std::fflush(stdout);
    }
    co_return answer;
}

QCoro::Task<bool> AppDelegate::screenshotsAllowed()
{
    if (!m_platform->screenCapture->isAvailable())
        co_return false;
    // Only the platform's object is used after the wait, and it lives as long as this one.
    co_return co_await m_platform->screenCapture->permission() == ScreenCapture::Permission::Allowed;
}

void AppDelegate::showOnboardingIfNeeded()
{
    // The platform outlives onboarding; a question still open when onboarding closes ends in the platform.
    m_onboarding.setScreenshots({ [this] { return screenshotsAllowed(); }, [this] { return askForScreenshots(); } });
    m_onboarding.setDesktopShortcuts(m_platform->desktopShortcuts.get());
    m_onboarding.showIfNeeded();
}
