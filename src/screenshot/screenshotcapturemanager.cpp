#include "screenshot/screenshotcapturemanager.h"

#include "platform/platform.h"
#include "screenshot/screenshotoverlayview.h"

#include <QCoroFuture>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QtConcurrent/QtConcurrentRun>

ScreenshotCaptureManager::ScreenshotCaptureManager(Platform& platform, QObject* parent)
    : QObject(parent)
    , m_platform(platform)
{
    m_encoder.setMaxThreadCount(1);
}

ScreenshotCaptureManager::~ScreenshotCaptureManager() { cleanup(); }

bool ScreenshotCaptureManager::isAvailable() const
{
    return m_platform.screenCapture && m_platform.screenCapture->isAvailable();
}

void ScreenshotCaptureManager::startCapture()
{
    const QList<ScreenInfo> screens = m_platform.screens->screens();
    const bool sameScreens = !m_overlayPanels.isEmpty() && m_overlayPanels.size() == screens.size()
        && std::equal(screens.cbegin(), screens.cend(), m_overlayPanels.cbegin(),
            [](const ScreenInfo& s, const ScreenshotOverlayView* panel) { return s.frame == panel->frame(); });
    if (sameScreens && m_frozenScreens.isEmpty())
        return; // the capture under way, its screens still being grabbed, is this one
    if (sameScreens) {
        // Started again while the overlays are up: they serve again, back to their first look. Without a compositor
        // the windows under them have not been repainted yet, so a new grab could not see the screen anyway.
        for (ScreenshotOverlayView* panel : std::as_const(m_overlayPanels))
            panel->startOver();
        emit overlaysShown();
        return;
    }
    cleanup();
    [[maybe_unused]] auto task = showOverlays(m_capture, screens);
}

QCoro::Task<> ScreenshotCaptureManager::showOverlays(quint64 capture, QList<ScreenInfo> screens)
{
    QPointer<ScreenshotCaptureManager> self(this);
    // No overlay may be in a picture. Where a window that has painted nothing shows the screen under it, the
    // overlays go up first and the screens are grabbed through them: the picture is then exactly what they show,
    // and they are painted by darkening it where it is, so no whole screen of pixels goes to the server. Elsewhere
    // every screen is grabbed before any overlay is up, and while the server copies the screens out the overlays'
    // windows and the memory they will paint in are made ready; where a window shows nothing before it paints,
    // they are even shown, so that the desktop has set them up by the time their pictures come.
    const bool inPlace = m_platform.screenCapture->unpaintedWindowsShowTheScreen();
    const bool showEarly = !inPlace && m_platform.screenCapture->unpaintedWindowsShowNothing();
    std::optional<QCoro::Task<QList<QImage>>> grabbing;
    if (!inPlace)
        grabbing.emplace(m_platform.screenCapture->grabScreens(screens)); // under way from here
    for (const ScreenInfo& screen : std::as_const(screens)) {
        ScreenshotOverlayView* panel = createOverlayPanel(screen.frame);
        m_overlayPanels.append(panel);
        panel->create();
        std::unique_ptr<WindowPainter> painter = m_platform.screenCapture->windowPainter(*panel);
        const bool painterHere = painter != nullptr;
        panel->prepare(std::move(painter));
        if ((inPlace && painterHere) || showEarly)
            panel->showUnpainted();
    }
    if (inPlace) // after the overlays were shown, on the same connection: the grab reads what they show
        grabbing.emplace(m_platform.screenCapture->grabScreens(screens));
    QList<QImage> images = co_await std::move(*grabbing);
    if (!self || capture != m_capture)
        co_return;
    if (screens.isEmpty()) {
        handleCancel();
        co_return;
    }

    for (qsizetype i = 0; i < screens.size(); ++i) {
        QImage image = i < images.size() ? std::move(images[i]) : QImage(); // unshared: no copy below
        image.setDevicePixelRatio(screens.at(i).scale);
        m_frozenScreens.append({ screens.at(i), std::move(image) });
        ScreenshotOverlayView* panel = m_overlayPanels.at(i);
        panel->setFrozenScreen(m_frozenScreens.constLast().image); // shown unpainted: painted now
        if (!panel->isVisible())
            panel->showPainted();
    }
    // The keyboard goes to the overlay under the pointer, so that Escape reaches it.
    const QPointF pointer = m_platform.screens->pointerPosition();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        if (screens.at(i).frame.contains(pointer) || i == screens.size() - 1) {
            m_overlayPanels.at(i)->requestActivate();
            break;
        }
    }

    // Losing the keyboard to another program (a screen locker's grab) or a change of screens ends it.
    m_overlayHadFocus = false;
    m_watches << connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (m_overlayPanels.contains(window))
            m_overlayHadFocus = true;
        else if (m_overlayHadFocus)
            handleCancel();
    });
    m_watches << connect(qGuiApp, &QGuiApplication::screenAdded, this, &ScreenshotCaptureManager::handleCancel);
    m_watches << connect(qGuiApp, &QGuiApplication::screenRemoved, this, &ScreenshotCaptureManager::handleCancel);
    emit overlaysShown();
}

ScreenshotOverlayView* ScreenshotCaptureManager::createOverlayPanel(const QRectF& frame)
{
    auto* panel = new ScreenshotOverlayView(frame, QImage());
    QPointer<ScreenshotCaptureManager> self(this);
    // Only the overlays of the capture under way may end it.
    panel->onSelectionComplete = [self, panel](const QRectF& region) {
        if (self && self->m_overlayPanels.contains(panel))
            self->handleSelection(region);
    };
    panel->onCancelled = [self, panel] {
        if (self && self->m_overlayPanels.contains(panel))
            self->handleCancel();
    };
    return panel;
}

void ScreenshotCaptureManager::cleanup()
{
    ++m_capture;
    for (const QMetaObject::Connection& watch : std::as_const(m_watches))
        disconnect(watch);
    m_watches.clear();
    // This may run inside a panel's own event handler: off the screen now, its picture and pixels let go of
    // at once, the window itself deleted once the handler has returned.
    for (ScreenshotOverlayView* panel : std::as_const(m_overlayPanels)) {
        panel->dismiss();
        panel->deleteLater();
    }
    m_overlayPanels.clear();
    m_frozenScreens.clear();
}

void ScreenshotCaptureManager::handleCancel()
{
    cleanup();
    if (Completion handler = std::exchange(completion, nullptr))
        handler(std::nullopt, std::nullopt);
}

void ScreenshotCaptureManager::handleSelection(const QRectF& region)
{
    QList<FrozenScreen> frozen = std::move(m_frozenScreens);
    // The handler belongs to this capture: a capture started while this one encodes brings its own.
    Completion handler = std::exchange(completion, nullptr);
    cleanup();
    m_platform.screenCapture->setPointerHidden(true);
    // Encoding a whole screen takes longer than a frame: it runs on the encoder's thread, which alone holds
    // the pictures from now on.
    QFuture<std::optional<QByteArray>> encoding = QtConcurrent::run(&m_encoder,
        [frozen = std::move(frozen), region] { return ScreenshotCrop::jpegOfRegion(frozen, region); });
    [[maybe_unused]] auto task = finishCapture(std::move(encoding), region, std::move(handler));
}

QCoro::Task<> ScreenshotCaptureManager::finishCapture(
    QFuture<std::optional<QByteArray>> encoding, QRectF region, Completion handler)
{
    QPointer<ScreenshotCaptureManager> self(this);
    const std::optional<QByteArray> jpeg = co_await encoding;
    if (self)
        m_platform.screenCapture->setPointerHidden(false);
    if (handler)
        handler(jpeg, region);
}
