#include "capture/textcapturecoordinator.h"

#include "capture/appcontext.h"
#include "platform/platform.h"
#include "screenshot/screenshotcapturemanager.h"

#include <QCoroTimer>
#include <QPointer>

TextCaptureCoordinator::TextCaptureCoordinator(
    CapturePresenter& presenter, Platform& platform, ScreenshotCaptureManager& screenshots, QObject* parent)
    : QObject(parent)
    , m_presenter(presenter)
    , m_platform(platform)
    , m_screenshots(screenshots)
    , m_accessibilityReader(platform)
{
}

std::optional<AppContext> TextCaptureCoordinator::captureAppContext() const
{
    return AppContextCapture::contextOf(m_platform.frontmostApplication->current());
}

QCoro::Task<std::optional<TextCapture>> TextCaptureCoordinator::captureSelectedText(bool* accessibilityUsable)
{
    // The application the user is in, asked once: the reading and the request both describe it.
    const std::optional<FrontmostAppInfo> app = m_platform.frontmostApplication->current();
    QPointer<TextCaptureCoordinator> self(this);
    // PRIMARY and the copy shortcut need no accessibility support: read without it when it is off.
    const bool usable = co_await m_platform.accessibility->isUsable();
    if (!self)
        co_return std::nullopt;
    *accessibilityUsable = usable;
    SelectionReading reading = co_await m_accessibilityReader.readSelection(app, usable);
    if (!self || !reading.text || reading.text->isEmpty())
        co_return std::nullopt;
    co_return TextCapture { std::move(*reading.text), reading.bounds, AppContextCapture::contextOf(app) };
}

QCoro::Task<> TextCaptureCoordinator::explainSelectedText()
{
    if (m_reading)
        co_return;
    m_reading = true;
    QPointer<TextCaptureCoordinator> self(this);
    // Where the card took the keyboard (on Wayland the desktop gives it to every new window), the application
    // it came from shows no focused selection until it has the keyboard back.
    if (m_presenter.giveBackTheKeyboard()) {
        co_await QCoro::sleepFor(keyboardReturnTime);
        if (!self)
            co_return;
    }
    bool usable = false;
    std::optional<TextCapture> capture = co_await captureSelectedText(&usable);
    if (!self)
        co_return;
    m_reading = false;

    if (capture)
        m_presenter.showExplanation(std::move(*capture));
    else if (!usable)
        m_presenter.showAccessibilityPrompt(); // asked for only when nothing was found without it
    else if (!m_platform.keyboard->canSendCopyShortcut())
        m_presenter.showTooltip(QStringLiteral("text.cursor"), noTextWithoutCopyMessage, noTextWithoutCopyNoticeDelay);
    else
        m_presenter.showTooltip(QStringLiteral("text.cursor"), QStringLiteral("No text selected"), noTextNoticeDelay);
}

void TextCaptureCoordinator::explainText(const QString& text)
{
    m_presenter.showExplanation({ text, std::nullopt, captureAppContext() });
}

void TextCaptureCoordinator::askAnything() { m_presenter.showDirectQuery(captureAppContext()); }

void TextCaptureCoordinator::explainScreenshot()
{
    if (!m_screenshots.isAvailable()) {
        m_presenter.showTooltip(
            QStringLiteral("exclamationmark.triangle"), noScreenshotMessage, noScreenshotNoticeDelay);
        return;
    }
    // Taken now, while the user's application is still the active one.
    std::optional<AppContext> context = captureAppContext();
    QPointer<TextCaptureCoordinator> self(this);
    m_screenshots.completion = [self, context](std::optional<QByteArray> jpeg, std::optional<QRectF> region) {
        if (self)
            self->screenshotCaptured(std::move(jpeg), region, context);
    };
    m_screenshots.startCapture();
}

void TextCaptureCoordinator::screenshotCaptured(
    std::optional<QByteArray> jpeg, std::optional<QRectF> region, std::optional<AppContext> context)
{
    if (jpeg)
        m_presenter.showScreenshotExplanation(std::move(*jpeg), region, std::move(context));
    else if (region)
        m_presenter.showFailure(region, captureFailedMessage); // said where the answer would have been
    // Neither: the user cancelled.
}
