// Renders the settings window, both onboarding steps (waiting and granted) and the update window's results to
// PNG files, in the light and the dark palette, so the views can be looked at without a desktop.
// Usage: window_snapshots [output directory]
#include "app/updatewindow.h"
#include "fakeloginitem.h"
#include "fakeplatform.h"
#include "onboarding/onboardingwindowcontroller.h"
#include "platform/globalhotkeys.h"
#include "settings/appsettings.h"
#include "settings/hotkeysettings.h"
#include "settings/servicesettings.h"
#include "settings/settingswindow.h"
#include "ui/qmlengineprovider.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSGRendererInterface>
#include <QTemporaryDir>
#include <QTest>

#include "snapshotpalette.h"

#include <cstdio>

namespace {

QCoro::Task<bool> answerNow(bool allowed) { co_return allowed; }

bool save(QQuickWindow* window, const QDir& dir, const QString& name, int settleMs = 450)
{
    if (!window || !QTest::qWaitForWindowExposed(window))
        return false;
    QTest::qWait(settleMs); // animations
    const QString file = dir.filePath(name + QStringLiteral(".png"));
    const bool saved = window->grabWindow().save(file);
    std::printf("%s %s (%dx%d)\n", saved ? "wrote" : "FAILED", qPrintable(file), window->width(), window->height());
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    const QDir dir(app.arguments().value(1, QStringLiteral("window-snapshots")));
    QDir().mkpath(dir.path());
    const FakePlatform fakes = FakePlatform::make();
    QTemporaryDir config;
    QmlEngineProvider engines;
    QQmlEngine* engine = engines.engine();

    bool ok = true;
    const QUrl local(QStringLiteral("http://127.0.0.1:8787/v1/explain"));
    const ServiceEndpoint builtIn { local, {}, {}, local, {} };
    for (const bool dark : { false, true }) {
        QGuiApplication::setPalette(dark
                ? snapshotPalette(
                    QColor(0x2b2b2d), QColor(0xeeeeee), QColor(0x1e1e20), QColor(0x3a3a3c), QColor(0x3d8ee6))
                : snapshotPalette(QColor(0xf2f2f2), QColor(0x1d1d1f), Qt::white, QColor(0xe8e8e8), QColor(0x1a73e8)));
        const QString suffix = dark ? QStringLiteral("-dark") : QStringLiteral("-light");

        {
            AppSettings settings(config.filePath(QStringLiteral("Quillora/Quillora.conf")));
            settings.setCustomSystemPrompt(
                QStringLiteral("Explain like I'm a first-year student. Keep answers under five sentences."));
            FakeLoginItem loginItem;
            loginItem.state = LoginItem::Status::Enabled;
            FakeSecretStore keyring;
            ServiceSettings service(settings, keyring, builtIn);
            SettingsWindow window(settings, &loginItem, engine, nullptr, &service);
            window.open();
            ok &= save(window.window(), dir, QStringLiteral("settings") + suffix);
        }
        {
            // A team's service being typed in, with a keyring that does not answer.
            AppSettings settings(config.filePath(QStringLiteral("team%1/Quillora/Quillora.conf").arg(suffix)));
            settings.setServiceURL(QStringLiteral("https://quillora.example.com/v1/explain"));
            FakeSecretStore keyring;
            keyring.answer = SecretStore::Outcome::Unavailable;
            ServiceSettings service(settings, keyring, builtIn);
            QCoro::waitFor(service.load());
            FakeLoginItem loginItem;
            SettingsWindow window(settings, &loginItem, engine, nullptr, &service);
            window.open();
            window.window()
                ->view()
                ->findChild<QObject*>(QStringLiteral("serviceAddressField"))
                ->setProperty("text", QStringLiteral("http://quillora.example.com"));
            window.window()->view()->property("model").value<QObject*>()->setProperty(
                "serviceAddress", QStringLiteral("http://quillora.example.com"));
            ok &= save(window.window(), dir, QStringLiteral("settings-team") + suffix);
        }
        {
            // Keys changed: one moved, one refused because another program holds it, one recording after a
            // refusal, and a saved key that is no longer readable.
            AppSettings settings(config.filePath(QStringLiteral("keys%1/Quillora/Quillora.conf").arg(suffix)));
            settings.setHotkey("explainScreenRegion", QStringLiteral("Alt+Shift+Frobnicate"));
            HotkeySettings hotkeys(
                settings,
                [](quint32, quint32 keyCode, Qt::KeyboardModifiers) {
                    return keyCode == HotkeySettings::keyCode(Qt::Key_Q) ? GlobalHotkeys::heldElsewhereStatus : 0;
                },
                false);
            SettingsWindow window(settings, nullptr, engine, nullptr, nullptr, &hotkeys);
            window.open();
            hotkeys.startRecording(2);
            hotkeys.keyPressed(Qt::Key_E, int(Qt::ControlModifier | Qt::MetaModifier), 0);
            hotkeys.startRecording(2);
            hotkeys.keyPressed(Qt::Key_Q, int(Qt::AltModifier), 0);
            hotkeys.startRecording(0);
            hotkeys.keyPressed(Qt::Key_Z, int(Qt::AltModifier), 0);
            ok &= save(window.window(), dir, QStringLiteral("settings-shortcuts") + suffix);
        }
        {
            // Where the desktop owns the keys: shown, and changed in the desktop's settings.
            AppSettings settings(config.filePath(QStringLiteral("desktopkeys%1/Quillora/Quillora.conf").arg(suffix)));
            // GNOME's settings program, or a stand-in where it is not installed: the button shows where it is.
            qputenv("XDG_CURRENT_DESKTOP", "GNOME");
            QTemporaryDir programs;
            QFile standIn(programs.filePath(QStringLiteral("gnome-control-center")));
            standIn.open(QIODevice::WriteOnly);
            standIn.write("#!/bin/sh\n");
            standIn.close();
            standIn.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            const QByteArray path = qgetenv("PATH");
            qputenv("PATH", programs.path().toLocal8Bit() + ':' + path);
            HotkeySettings hotkeys(settings, {}, true);
            SettingsWindow window(settings, nullptr, engine, nullptr, nullptr, &hotkeys);
            window.open();
            ok &= save(window.window(), dir, QStringLiteral("settings-shortcuts-desktop") + suffix);
            qputenv("PATH", path);
        }
        {
            // A folder that is a file: nothing can be written under it.
            QFile blocker(config.filePath(QStringLiteral("blocked")));
            blocker.open(QIODevice::WriteOnly);
            AppSettings settings(config.filePath(QStringLiteral("blocked/Quillora/Quillora.conf")));
            SettingsWindow window(settings, nullptr, engine);
            window.open();
            ok &= save(window.window(), dir, QStringLiteral("settings-cannot-save") + suffix);
        }
        {
            AppSettings settings(config.filePath(QStringLiteral("onboarding%1.conf").arg(suffix)));
            fakes.accessibility->usable = false;
            fakes.accessibility->enableSucceeds = false;
            bool screenshots = false;
            OnboardingWindowController onboarding(
                settings, *fakes.accessibility, engines, { std::chrono::milliseconds(50), std::chrono::hours(1) });
            onboarding.setScreenshots({ [&] { return answerNow(screenshots); }, {} });
            onboarding.showIfNeeded();
            ok &= save(onboarding.window(), dir, QStringLiteral("onboarding-accessibility") + suffix);
            fakes.accessibility->usable = true;
            ok &= save(onboarding.window(), dir, QStringLiteral("onboarding-screenshots") + suffix, 700);
            screenshots = true;
            ok &= save(onboarding.window(), dir, QStringLiteral("onboarding-screenshots-granted") + suffix, 700);
        }
        {
            UpdateWindow window(QStringLiteral("0.1.0"), engine);
            AppcastItem item { QStringLiteral("0.2.0"), QStringLiteral("0.2"),
                QUrl(QStringLiteral("https://quillora.org/notes")), QUrl(QStringLiteral("https://quillora.org/get")) };
            using Kind = UpdateCheckResult::Kind;
            const std::pair<UpdateCheckResult, QString> results[] = {
                { { Kind::NewerVersion, item, {} }, QStringLiteral("update-newer") },
                { { Kind::UpToDate, item, {} }, QStringLiteral("update-current") },
                { { Kind::Failed, {},
                      QStringLiteral("The update feed is not valid XML (line 3): Opening and ending tag mismatch.") },
                    QStringLiteral("update-failed") },
                { { Kind::NoFeed, {}, {} }, QStringLiteral("update-no-feed") },
            };
            for (const auto& [result, name] : results) {
                window.show(result);
                ok &= save(window.window(), dir, name + suffix, 100);
            }
        }
    }
    return ok ? 0 : 1;
}
