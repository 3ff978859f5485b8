#pragma once

#include "screenshot/screenshotcrop.h"

#include <QCoroTask>
#include <QFuture>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <optional>

class Platform;
class ScreenshotOverlayView;

// Runs one region capture from the trigger to the JPEG: freezes every screen, covers each with a selection
// overlay, and when a region has been dragged out cuts it from the frozen picture and encodes it. Main
// thread only.
class ScreenshotCaptureManager : public QObject {
    Q_OBJECT

public:
    // JPEG bytes and the region in global logical coordinates: both when the capture worked, only the
    // region when one was chosen but no image came of it, neither when the user cancelled.
    using Completion = std::function<void(std::optional<QByteArray> jpeg, std::optional<QRectF> region)>;

    explicit ScreenshotCaptureManager(Platform& platform, QObject* parent = nullptr);
    ~ScreenshotCaptureManager() override;

    // Set before each capture; called at most once per capture, on the main thread, and then cleared.
    Completion completion;

    // Whether this session can take screenshots at all.
    bool isAvailable() const;

    // Starts a capture and returns at once. One still under way on the same screens goes on as this one (its
    // overlays, when up, back to their first look); one on other screens is dropped first. Either way the
    // completion in place serves this one.
    void startCapture();
    // Takes the overlays down; the completion is left alone.
    void cleanup();
    // The user dragged out `region` (global logical coordinates).
    void handleSelection(const QRectF& region);
    // The user cancelled (Escape, a right click, the overlays lost the keyboard or a screen came or went).
    void handleCancel();

    // The overlays, one per screen in the screen list's order: made ready while the screens are grabbed,
    // then on screen; empty while idle.
    const QList<ScreenshotOverlayView*>& overlayPanels() const { return m_overlayPanels; }

signals:
    // Every screen's overlay has been created and shown (painted, where it paints through a WindowPainter).
    void overlaysShown();

private:
    // Grabs the screens and shows an overlay on each.
    QCoro::Task<> showOverlays(quint64 capture, QList<ScreenInfo> screens);
    // A hidden overlay for the screen at `frame`; its picture comes once the screen has been grabbed.
    ScreenshotOverlayView* createOverlayPanel(const QRectF& frame);
    QCoro::Task<> finishCapture(QFuture<std::optional<QByteArray>> encoding, QRectF region, Completion handler);

    Platform& m_platform;
    QList<ScreenshotOverlayView*> m_overlayPanels;
    QList<FrozenScreen> m_frozenScreens;
    QList<QMetaObject::Connection> m_watches;
    // Encodes on a thread of our own, joined when the manager goes: no encoding outlives its owner.
    QThreadPool m_encoder;
    quint64 m_capture = 0; // counts captures, so a grab that finishes after its capture ended is dropped
    bool m_overlayHadFocus = false;
};
