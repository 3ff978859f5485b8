#include "settings/settingswindow.h"

#include "settings/settingsviewmodel.h"
#include "ui/viewwindow.h"

SettingsWindow::SettingsWindow(AppSettings& settings, LoginItem* loginItem, QQmlEngine* engine,
    DesktopShortcuts* shortcuts, ServiceSettings* service, HotkeySettings* hotkeys, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_loginItem(loginItem)
    , m_shortcuts(shortcuts)
    , m_service(service)
    , m_hotkeys(hotkeys)
    , m_engine(engine)
{
}

SettingsWindow::~SettingsWindow() { delete m_window.data(); }

void SettingsWindow::open()
{
    if (m_window && m_window->isVisible()) {
        m_window->present();
        return;
    }
    // The model reads the login item's state as it is now; it lives as long as its window.
    auto* model = new SettingsViewModel(m_settings, m_loginItem, m_shortcuts, m_service, m_hotkeys);
    ViewWindow* window = ViewWindow::create(m_engine, settingsViewUrl,
        { { QStringLiteral("model"), QVariant::fromValue<QObject*>(model) } }, QStringLiteral("Quillora Settings"));
    if (!window) {
        delete model;
        return;
    }
    model->setParent(window);
    connect(model, &SettingsViewModel::dismissRequested, window, &QWindow::close, Qt::QueuedConnection);
    m_window = window;
    window->present();
}
