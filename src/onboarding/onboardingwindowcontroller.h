#pragma once

#include "onboarding/onboardingmodel.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class Accessibility;
class AppSettings;
class DesktopShortcuts;
class QmlEngineProvider;
#include "ui/viewwindow.h"

// The first-run window that walks the user through the two things Quillora needs: the desktop's
// accessibility support and screenshots in this session. Shown at launch until completed or skipped;
// closing it with the close button brings it back at the next launch. Main thread only.
class OnboardingWindowController : public QObject {
    Q_OBJECT

public:
    static inline const QUrl onboardingViewUrl { QStringLiteral("qrc:/Quillora/onboarding/OnboardingView.qml") };

    // The engine is asked for only when the window is built: a launch that shows no onboarding builds none.
    OnboardingWindowController(AppSettings& settings, Accessibility& accessibility, QmlEngineProvider& engines,
        OnboardingModel::Timing timing = {}, QObject* parent = nullptr);
    ~OnboardingWindowController() override;

    // How this session tells whether screenshots can be taken, and asks for them.
    void setScreenshots(OnboardingModel::Screenshots screenshots) { m_screenshots = std::move(screenshots); }
    // Where the desktop may bind Quillora's keys in its own settings: a third step offers to set them up.
    void setDesktopShortcuts(DesktopShortcuts* shortcuts) { m_desktopShortcuts = shortcuts; }

    // Shows the window unless onboarding was completed; marks it completed without showing anything when
    // everything is already granted (and the keys set up, where that is offered).
    void showIfNeeded();
    // Marks onboarding done for good and closes the window.
    void complete();

    // The open window, or null.
    ViewWindow* window() const { return m_window.data(); }
    OnboardingModel* model() const;

private:
    QCoro::Task<> decide();
    void show(int step);

    AppSettings& m_settings;
    Accessibility& m_accessibility;
    QmlEngineProvider& m_engines;
    OnboardingModel::Timing m_timing;
    OnboardingModel::Screenshots m_screenshots;
    DesktopShortcuts* m_desktopShortcuts = nullptr;
    DesktopShortcuts* m_offeredShortcuts = nullptr; // the above, once it said the keys step applies
    QPointer<ViewWindow> m_window;
    bool m_deciding = false;
};
