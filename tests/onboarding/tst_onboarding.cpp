// The onboarding window offscreen on the fake platform: whether it shows at launch, and its steps with short
// timers (only the order of events is checked).
#include "fakeplatform.h"
#include "onboarding/accessibilitypermissionmodel.h"
#include "onboarding/onboardingwindowcontroller.h"
#include "settings/appsettings.h"
#include "ui/qmlengineprovider.h"

#include <QCoroSignal>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

class OnboardingTest : public QObject {
    Q_OBJECT

signals:
    void screenshotsAnswered(ScreenCapture::Permission answer);

private:
    QTemporaryDir m_dir;
    QmlEngineProvider m_engines;
    FakeAccessibility m_accessibility;
    bool m_screenshots = false;
    int m_screenshotRequests = 0;
    FakeDesktopShortcuts m_keys;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<OnboardingWindowController> m_onboarding;

    void makeController(OnboardingModel::Timing timing)
    {
        m_onboarding = std::make_unique<OnboardingWindowController>(*m_settings, m_accessibility, m_engines, timing);
        m_onboarding->setScreenshots(
            { [this] { return screenshotsAllowed(); }, [this] { return askForScreenshots(); } });
    }
    QCoro::Task<bool> screenshotsAllowed() { co_return m_screenshots; }
    // The desktop's question: answered when the test emits screenshotsAnswered.
    QCoro::Task<ScreenCapture::Permission> askForScreenshots()
    {
        ++m_screenshotRequests;
        co_return co_await qCoro(this, &OnboardingTest::screenshotsAnswered);
    }
    QQuickItem* item(const char* name) const
    {
        return m_onboarding->window()->view()->findChild<QQuickItem*>(QLatin1String(name));
    }

private slots:
    void init()
    {
        QFile::remove(m_dir.filePath(QStringLiteral("Quillora.conf")));
        m_settings = std::make_unique<AppSettings>(m_dir.filePath(QStringLiteral("Quillora.conf")));
        m_accessibility.usable = false;
        m_screenshots = false;
        m_screenshotRequests = 0;
        makeController({ 20ms, 30ms });
    }
    void cleanup() { m_onboarding.reset(); }

    void launchDecision_data()
    {
        QTest::addColumn<bool>("completed");
        QTest::addColumn<bool>("accessibility");
        QTest::addColumn<bool>("screenshots");
        QTest::addColumn<QString>("keys"); // where Quillora's keys go into the desktop's own shortcuts
        QTest::addColumn<int>("shownStep"); // -1: nothing shown, and completed from then on
        const QString no = QStringLiteral("not offered");
        const QString missing = QStringLiteral("missing");
        QTest::newRow("completed before") << true << false << false << missing << -1;
        QTest::newRow("both granted") << false << true << true << no << -1;
        QTest::newRow("both missing") << false << false << false << missing << 0;
        QTest::newRow("screenshots missing") << false << true << false << no << 1;
        QTest::newRow("both granted, keys missing") << false << true << true << missing << 2;
        QTest::newRow("both granted, keys set up") << false << true << true << QStringLiteral("set up") << -1;
    }
    void launchDecision()
    {
        QFETCH(bool, completed);
        QFETCH(bool, accessibility);
        QFETCH(bool, screenshots);
        QFETCH(QString, keys);
        QFETCH(int, shownStep);
        makeController({ 1h, 1h }); // no tick may change the picture
        m_keys.offered = keys != u"not offered";
        m_keys.present = keys == u"set up";
        m_onboarding->setDesktopShortcuts(&m_keys);
        m_settings->setHasCompletedOnboarding(completed);
        m_accessibility.usable = accessibility;
        m_screenshots = screenshots;
        m_onboarding->showIfNeeded();
        QCOMPARE(m_settings->hasCompletedOnboarding(), shownStep < 0);
        QCOMPARE(m_onboarding->window() != nullptr, shownStep >= 0);
        if (shownStep >= 0) {
            QCOMPARE(m_onboarding->model()->step(), shownStep);
            QCOMPARE(m_onboarding->model()->stepCount(), m_keys.offered ? 3 : 2);
            const char* cards[] = { "accessibilityStep", "screenshotStep", "shortcutsStep" };
            QVERIFY(item(cards[shownStep]));
            QMetaObject::invokeMethod(item("skipButton"), "clicked"); // completes at once
            QTRY_VERIFY(!m_onboarding->window());
            QVERIFY(m_settings->hasCompletedOnboarding());
        }
    }

    void theCloseButtonBringsItBackAndTheStepsFollowTheDesktop()
    {
        makeController({ 20ms, 1s }); // a completion delay a loaded machine cannot miss
        m_onboarding->showIfNeeded();
        QPointer<QQuickWindow> window = m_onboarding->window();
        QPointer<PermissionStepModel> step = m_onboarding->model()->accessibilityStep();
        QVERIFY(step->isPolling());
        m_onboarding->showIfNeeded(); // again while open: the same window
        QCOMPARE(m_onboarding->window(), window.data());
        window->close();
        QTRY_VERIFY(!window);
        QVERIFY(!step); // its polling went with it
        QVERIFY(!m_settings->hasCompletedOnboarding());

        m_onboarding->showIfNeeded(); // next launch
        window = m_onboarding->window();
        OnboardingModel* model = m_onboarding->model();
        // The button switches the support on; the next poll sees it and moves on to the screenshot step.
        QMetaObject::invokeMethod(item("permissionButton"), "clicked");
        QTRY_COMPARE(model->step(), 1);
        QVERIFY(!model->accessibilityStep()->isPolling());
        QTRY_VERIFY(item("screenshotStep"));
        QVERIFY(model->screenshotStep()->isPolling());
        QMetaObject::invokeMethod(
            item("screenshotStep")->findChild<QQuickItem*>(QStringLiteral("permissionButton")), "clicked");
        QCOMPARE(m_screenshotRequests, 1);
        m_screenshots = true;
        emit screenshotsAnswered(ScreenCapture::Permission::Allowed);
        QTRY_VERIFY(model->screenshotStep()->granted());
        QVERIFY(window); // "Permission granted!" stays a moment
        QVERIFY(!m_settings->hasCompletedOnboarding());
        QTRY_VERIFY(!window);
        QVERIFY(m_settings->hasCompletedOnboarding());
    }

    // GNOME asks once, in its own dialog, which may stay open for as long as the user likes: a second press asks
    // nothing more, a refusal is said on the card, and an answer that comes after onboarding closed (or moved on)
    // goes nowhere.
    void theDesktopsScreenshotQuestion_data()
    {
        QTest::addColumn<bool>("closedFirst"); // and then allowed
        QTest::newRow("refused") << false;
        QTest::newRow("allowed after onboarding closed") << true;
    }
    void theDesktopsScreenshotQuestion()
    {
        QFETCH(bool, closedFirst);
        makeController({ 20ms, 1h });
        m_accessibility.usable = true;
        m_onboarding->showIfNeeded();
        QPointer<QQuickWindow> window = m_onboarding->window();
        QPointer<OnboardingModel> model = m_onboarding->model();
        QCOMPARE(model->step(), 1);
        QQuickItem* button = item("screenshotStep")->findChild<QQuickItem*>(QStringLiteral("permissionButton"));
        QMetaObject::invokeMethod(button, "clicked");
        QMetaObject::invokeMethod(button, "clicked");
        QCOMPARE(m_screenshotRequests, 1);
        QTest::qWait(100); // polls go on while the dialog is open
        QVERIFY(model->screenshotStep()->isPolling());
        QSignalSpy refused(model.data(), &OnboardingModel::screenshotsRefused);
        if (closedFirst) {
            window->close();
            QTRY_VERIFY(!window);
            QVERIFY(!model);
        }
        m_screenshots = closedFirst;
        emit screenshotsAnswered(closedFirst ? ScreenCapture::Permission::Allowed : ScreenCapture::Permission::Refused);
        if (closedFirst) {
            QTest::qWait(100);
            QVERIFY(!m_settings->hasCompletedOnboarding());
            return;
        }
        QTRY_COMPARE(refused.size(), 1); // the answer comes back in the event loop
        QVERIFY(!model->screenshotStep()->granted());
        QCOMPARE(model->screenshotNote(), OnboardingModel::screenshotsRefusedNote);
        QCOMPARE(model->step(), 1);
    }

    // The accessibility step alone is also the prompt shown when selected text cannot be read.
    void theAccessibilityPromptClosesItselfAMomentAfterSupportIsOn()
    {
        AccessibilityPermissionModel prompt(m_accessibility);
        QSignalSpy dismissed(&prompt, &AccessibilityPermissionModel::dismissRequested);
        prompt.startPolling();
        prompt.turnOn();
        QVERIFY(!prompt.isGranted()); // the prompt believes the desktop, not its own button
        QTRY_VERIFY_WITH_TIMEOUT(prompt.isGranted(), 5000);
        QCOMPARE(dismissed.size(), 0); // the confirmation stays up for a moment
        QTRY_COMPARE_WITH_TIMEOUT(dismissed.size(), 1, 5000);
    }
};

int main(int argc, char* argv[])
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    OnboardingTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_onboarding.moc"
