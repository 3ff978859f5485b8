#include "platform/unavailablebackends.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace {

ScreenInfo describe(const QScreen* screen)
{
    return { screen->name(), screen->geometry(), screen->availableGeometry(), screen->devicePixelRatio() };
}

// QScreen and QCursor serve every session Qt runs in.
class QtScreens final : public Screens {
public:
    QList<ScreenInfo> screens() const override
    {
        QList<ScreenInfo> result;
        for (const QScreen* screen : QGuiApplication::screens())
            result.append(describe(screen));
        return result;
    }
    ScreenInfo primary() const override
    {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? describe(screen) : ScreenInfo {};
    }
    QPointF pointerPosition() const override { return QCursor::pos(); }
    bool placesWindows() const override
    {
        return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    }
    // GNOME's mutter puts a black plate behind a full-screen surface that is not opaque, but not behind a
    // maximized one. Sway shows a full-screen window alone, over black, and tiles a maximized one beside the others.
    Overlay overlay() const override
    {
        const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
        if (desktop.contains(u"sway", Qt::CaseInsensitive))
            return Overlay::None;
        if (desktop.contains(u"GNOME", Qt::CaseInsensitive))
            return Overlay::Maximized;
        return Overlay::FullScreen;
    }
};

class NoMouseDownMonitor final : public MouseDownMonitor {
public:
    void start() override { }
    void stop() override { }
};

class NoFrontmostApplication final : public FrontmostApplication {
public:
    std::optional<FrontmostAppInfo> current() const override { return std::nullopt; }
};

class NoAccessibility final : public Accessibility {
public:
    QCoro::Task<bool> isUsable() override { co_return false; }
    QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64) override { co_return std::nullopt; }
    QCoro::Task<bool> enable() override { co_return false; }
};

class NoPasteboard final : public Pasteboard {
public:
    quint64 changeCount() const override { return 0; }
    QCoro::Task<std::optional<QString>> text() override { co_return std::nullopt; }
    QCoro::Task<std::optional<PasteboardSnapshot>> snapshot() override { co_return std::nullopt; }
    void restore(const PasteboardSnapshot&) override { }
    QCoro::Task<qint64> ownerPid() override { co_return 0; }
    QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(const FrontmostAppInfo&) override
    {
        co_return std::nullopt;
    }
};

class NoKeyboard final : public KeyboardSynthesizer {
public:
    QCoro::Task<bool> sendCopyShortcut(bool) override { co_return false; }
    bool canSendCopyShortcut() const override { return false; }
};

class NoGlobalHotkeys final : public GlobalHotkeys {
public:
    int registerHotkey(quint32, quint32, Qt::KeyboardModifiers) override { return unavailableStatus; }
    void unregisterHotkey(quint32) override { }
};

class NoScreenCapture final : public ScreenCapture {
public:
    bool isAvailable() const override { return false; }
    QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) override
    {
        co_return QList<QImage>(screens.size());
    }
    void setPointerHidden(bool) override { }
};

} // namespace

std::unique_ptr<Screens> makeQtScreens() { return std::make_unique<QtScreens>(); }
std::unique_ptr<MouseDownMonitor> makeUnavailableMouseDownMonitor() { return std::make_unique<NoMouseDownMonitor>(); }
std::unique_ptr<FrontmostApplication> makeUnavailableFrontmostApplication()
{
    return std::make_unique<NoFrontmostApplication>();
}
std::unique_ptr<Accessibility> makeUnavailableAccessibility() { return std::make_unique<NoAccessibility>(); }
std::unique_ptr<Pasteboard> makeUnavailablePasteboard() { return std::make_unique<NoPasteboard>(); }
std::unique_ptr<KeyboardSynthesizer> makeUnavailableKeyboard() { return std::make_unique<NoKeyboard>(); }
std::unique_ptr<GlobalHotkeys> makeUnavailableGlobalHotkeys() { return std::make_unique<NoGlobalHotkeys>(); }
std::unique_ptr<ScreenCapture> makeUnavailableScreenCapture() { return std::make_unique<NoScreenCapture>(); }
