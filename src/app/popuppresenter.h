#pragma once

#include "capture/capturepresenter.h"

class Accessibility;
class PopupWindowController;

// Shows the capture coordinator's results in the popup; the accessibility prompt is a notice there.
class PopupPresenter final : public CapturePresenter {
public:
    PopupPresenter(PopupWindowController& popup, Accessibility& accessibility);

    void showExplanation(TextCapture capture) override;
    void showDirectQuery(std::optional<AppContext> appContext) override;
    void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) override;
    void showAccessibilityPrompt() override;
    void showScreenshotExplanation(
        QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext) override;
    void showFailure(std::optional<QRectF> anchor, const QString& message) override;
    bool giveBackTheKeyboard() override;

private:
    PopupWindowController& m_popup;
    Accessibility& m_accessibility;
};
