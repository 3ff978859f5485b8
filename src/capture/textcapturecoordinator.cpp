#include "capture/textcapturecoordinator.h"

#include "capture/appcontext.h"
#include "capture/capturepresenter.h"
#include "platform/platform.h"

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
