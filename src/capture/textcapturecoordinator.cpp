#include "capture/textcapturecoordinator.h"

#include "capture/appcontext.h"
#include "capture/capturepresenter.h"
#include "platform/platform.h"
#include "screenshot/screenshotcapturemanager.h"

#include <QPointer>

TextCaptureCoordinator::TextCaptureCoordinator(CapturePresenter& presenter, Platform* platform, QObject* parent)
    : QObject(parent)
    , m_presenter(presenter)
    , m_platform(platform)
    , m_accessibilityReader(platform)
{
}

Platform& TextCaptureCoordinator::platform() const { return m_platform ? *m_platform : Platform::current(); }

std::optional<AppContext> TextCaptureCoordinator::captureAppContext() const
{
    return AppContextCapture::capture(*platform().frontmostApplication);
}

QCoro::Task<> TextCaptureCoordinator::explainSelectedText()
{
    if (m_reading)
        co_return;
    m_reading = true;
    QPointer<TextCaptureCoordinator> self(this);

    // PRIMARY and the copy shortcut need no accessibility support: read without it when it is off, and
    // ask for it only when nothing was found.
    const bool usable = co_await platform().accessibility->isUsable();
    if (!self)
        co_return;
    const SelectionReading reading = co_await m_accessibilityReader.readSelection(usable);
    if (!self)
        co_return;
    m_reading = false;

    if (reading.text && !reading.text->isEmpty()) {
        // Taken after the reading, so after a copy shortcut the application may have answered.
        const std::optional<AppContext> context = captureAppContext();
        m_presenter.showPopup(reading.bounds);
        m_presenter.explain(*reading.text, context);
    } else if (!usable) {
        m_presenter.showAccessibilityPrompt();
    } else {
        m_presenter.showTooltip(QStringLiteral("text.cursor"), QStringLiteral("No text selected"), noTextNoticeDelay);
    }
}

void TextCaptureCoordinator::explainText(const QString& text)
{
    const std::optional<AppContext> context = captureAppContext();
    m_presenter.showPopup(std::nullopt);
    m_presenter.explain(text, context);
}

void TextCaptureCoordinator::askAnything()
{
    const std::optional<AppContext> context = captureAppContext();
    m_presenter.showPopup(std::nullopt);
    m_presenter.prepareForDirectQuery(context);
}

void TextCaptureCoordinator::explainScreenshot(ScreenshotCaptureManager& screenshots)
{
    if (!screenshots.isAvailable()) {
        m_presenter.showTooltip(
            QStringLiteral("exclamationmark.triangle"), noScreenshotMessage, noScreenshotNoticeDelay);
        return;
    }
    // Taken now, while the user's application is still the active one.
    std::optional<AppContext> context = captureAppContext();
    QPointer<TextCaptureCoordinator> self(this);
    screenshots.completion = [self, context](std::optional<QByteArray> jpeg, std::optional<QRectF> region) {
        if (self)
            self->screenshotCaptured(std::move(jpeg), region, context);
    };
    screenshots.startCapture();
}

void TextCaptureCoordinator::screenshotCaptured(
    std::optional<QByteArray> jpeg, std::optional<QRectF> region, std::optional<AppContext> context)
{
    if (jpeg) {
        m_presenter.showScreenshotExplanation(std::move(*jpeg), region, std::move(context));
    } else if (region) {
        // A region was chosen but nothing came of it: say so where the answer would have been.
        m_presenter.showPopup(region);
        m_presenter.showError(captureFailedMessage);
    }
    // Neither: the user cancelled.
}
