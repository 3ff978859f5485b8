#include "app/popuppresenter.h"

#include "onboarding/accessibilitypermissionmodel.h"
#include "popup/popupwindowcontroller.h"

#include <QQuickWindow>

PopupPresenter::PopupPresenter(PopupWindowController& popup, Accessibility& accessibility)
    : m_popup(popup)
    , m_accessibility(accessibility)
{
}

void PopupPresenter::showExplanation(TextCapture capture)
{
    m_popup.showExplanation(capture.text, capture.anchor, std::move(capture.appContext));
}

void PopupPresenter::showDirectQuery(std::optional<AppContext> appContext)
{
    m_popup.showDirectQuery(std::move(appContext));
}

void PopupPresenter::showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay)
{
    m_popup.showSimpleNotice(icon, message, delay);
}

void PopupPresenter::showAccessibilityPrompt()
{
    // Open until the support is seen on (and a moment after) or it is closed; the model goes with its panel.
    auto* model = new AccessibilityPermissionModel(m_accessibility);
    QQuickWindow* panel = m_popup.showNotice(
        AccessibilityPermissionModel::viewUrl, { { QStringLiteral("model"), QVariant::fromValue<QObject*>(model) } });
    if (panel)
        model->setParent(panel);
    else
        delete model;
}

void PopupPresenter::showScreenshotExplanation(
    QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
{
    m_popup.showScreenshotExplanation(std::move(jpeg), anchor, std::move(appContext));
}

void PopupPresenter::showFailure(std::optional<QRectF> anchor, const QString& message)
{
    m_popup.showFailure(anchor, message);
}

bool PopupPresenter::giveBackTheKeyboard() { return m_popup.closeIfItHasTheKeyboard(); }
