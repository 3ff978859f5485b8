#include "fakeplatform.h"

std::optional<QString> FakePasteboard::plainText() const
{
    for (const auto& [mime, data] : content.formats) {
        if (mime == QLatin1String("text/plain") || mime == QLatin1String("text/plain;charset=utf-8"))
            return QString::fromUtf8(data);
    }
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> FakePasteboard::primarySelectionOwnedBy(const FrontmostAppInfo& app)
{
    const auto found = primaryByOwnerPid.constFind(app.pid);
    co_return found == primaryByOwnerPid.cend() ? std::nullopt : std::optional(*found);
}

void FakePasteboard::setContent(PasteboardSnapshot snapshot)
{
    content = std::move(snapshot);
    ++changes;
    emit changed();
}

QCoro::Task<bool> FakeKeyboard::sendCopyShortcut(bool toTerminal)
{
    copyShortcutsSent.append(toTerminal);
    if (pasteboard && textToCopy)
        pasteboard->setContent({ { { QStringLiteral("text/plain"), textToCopy->toUtf8() } } });
    co_return true;
}

FakePlatform FakePlatform::make()
{
    FakePlatform fakes {};
    fakes.platform = std::make_unique<Platform>();
    Platform* platform = fakes.platform.get();
    platform->screens = std::unique_ptr<Screens>(fakes.screens = new FakeScreens);
    platform->mouseDownMonitor = std::unique_ptr<MouseDownMonitor>(fakes.mouseDownMonitor = new FakeMouseDownMonitor);
    platform->frontmostApplication
        = std::unique_ptr<FrontmostApplication>(fakes.frontmostApplication = new FakeFrontmostApplication);
    platform->accessibility = std::unique_ptr<Accessibility>(fakes.accessibility = new FakeAccessibility);
    platform->pasteboard = std::unique_ptr<Pasteboard>(fakes.pasteboard = new FakePasteboard);
    platform->keyboard = std::unique_ptr<KeyboardSynthesizer>(fakes.keyboard = new FakeKeyboard);
    platform->screenCapture = std::unique_ptr<ScreenCapture>(fakes.screenCapture = new FakeScreenCapture);
    fakes.keyboard->pasteboard = fakes.pasteboard;
    platform->globalHotkeys = std::unique_ptr<GlobalHotkeys>(fakes.globalHotkeys = new FakeGlobalHotkeys);
    platform->loginItem = std::unique_ptr<LoginItem>(fakes.loginItem = new FakeLoginItem);
    platform->secrets = std::unique_ptr<SecretStore>(fakes.secrets = new FakeSecretStore);
    return fakes;
}
