#pragma once

#include "capture/capturepresenter.h"

// Shows the coordinator's results through the process-wide popup window controller.
class PopupPresenter final : public CapturePresenter {
public:
    void showPopup(std::optional<QRectF> anchor) override;
    void explain(const QString& text, std::optional<AppContext> appContext) override;
    void prepareForDirectQuery(std::optional<AppContext> appContext) override;
    void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) override;
    void showAccessibilityPrompt() override;
    void showScreenshotExplanation(
        QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext) override;
    void showError(const QString& message) override;
};
