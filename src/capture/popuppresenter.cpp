#include "capture/popuppresenter.h"

#include "popup/popupviewmodel.h"
#include "popup/popupwindowcontroller.h"

void PopupPresenter::showPopup(std::optional<QRectF> anchor) { PopupWindowController::shared().showPopup(anchor); }

void PopupPresenter::explain(const QString& text, std::optional<AppContext> appContext)
{
    PopupWindowController::shared().viewModel()->explain(text, std::move(appContext));
}

void PopupPresenter::prepareForDirectQuery(std::optional<AppContext> appContext)
{
    PopupWindowController::shared().viewModel()->prepareForDirectQuery(std::move(appContext));
}

void PopupPresenter::showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay)
{
    PopupWindowController::shared().showSimpleNotice(icon, message, delay);
}

void PopupPresenter::showAccessibilityPrompt() { PopupWindowController::shared().showAccessibilityPrompt(); }

void PopupPresenter::showScreenshotExplanation(
    QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
{
    PopupWindowController::shared().showScreenshotExplanation(std::move(jpeg), anchor, std::move(appContext));
}

void PopupPresenter::showError(const QString& message)
{
    PopupWindowController::shared().viewModel()->showFailure(message);
}
