#pragma once

#include "capture/accessibilityreader.h"
#include "capture/capturepresenter.h"

#include <QCoroTask>
#include <QObject>

#include <optional>

class Platform;
class ScreenshotCaptureManager;

// Turns a trigger (the hot keys, the menu, the D-Bus entry) into a popup and a request: finds what to
// explain, records the application the user was in and starts the popup's flow. Main thread only.
class TextCaptureCoordinator : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds noTextNoticeDelay { 2000 };
    // Where no copy shortcut can be sent (GNOME on Wayland), a selection that accessibility does not show cannot
    // be read at all: the notice says what the user can do, and stays long enough to be read.
    static inline const QString noTextWithoutCopyMessage = QStringLiteral(
        "No text selected. The application may not share it: try again, or copy it and paste it into Alt+A.");
    static constexpr std::chrono::milliseconds noTextWithoutCopyNoticeDelay { 5000 };
    // How long the application the user came from takes to have the keyboard again once a card let it go.
    static constexpr std::chrono::milliseconds keyboardReturnTime { 200 };
    static constexpr std::chrono::milliseconds noScreenshotNoticeDelay { 3000 };
    static inline const QString noScreenshotMessage
        = QStringLiteral("Screenshot explanation needs X11 or the desktop's screenshot portal.");
    static inline const QString captureFailedMessage
        = QStringLiteral("The selected area could not be captured. Please try again.");

    // Shows its results through presenter; takes captures through screenshots.
    TextCaptureCoordinator(CapturePresenter& presenter, Platform& platform, ScreenshotCaptureManager& screenshots,
        QObject* parent = nullptr);

    // Explains the selection of the application the user is in. A trigger while a reading is still
    // running is dropped: two readings would fight over the clipboard.
    QCoro::Task<> explainSelectedText();
    // Finds the selected text, where it is, and the application it is in (read once). Nothing when no text
    // was found; *accessibilityUsable then says whether the accessibility bus could be asked.
    QCoro::Task<std::optional<TextCapture>> captureSelectedText(bool* accessibilityUsable);
    // Explains text handed over from outside (used as received).
    void explainText(const QString& text);
    // Opens the popup to ask a question.
    void askAnything();
    // Lets the user drag out a region of the screen and explains it.
    void explainScreenshot();

    bool isReading() const { return m_reading; }

private:
    std::optional<AppContext> captureAppContext() const;
    void screenshotCaptured(
        std::optional<QByteArray> jpeg, std::optional<QRectF> region, std::optional<AppContext> context);

    CapturePresenter& m_presenter;
    Platform& m_platform;
    ScreenshotCaptureManager& m_screenshots;
    AccessibilityReader m_accessibilityReader;
    bool m_reading = false;
};
