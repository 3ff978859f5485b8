#pragma once

#include "service/wirerecords.h"

#include <QByteArray>
#include <QRectF>
#include <QString>

#include <chrono>
#include <optional>

// What the capture coordinator shows: the popup card and its view model, short notices and the
// accessibility prompt. The application binds it to the popup window controller; tests record the calls.
class CapturePresenter {
public:
    virtual ~CapturePresenter() = default;
    virtual void showPopup(std::optional<QRectF> anchor) = 0;
    virtual void explain(const QString& text, std::optional<AppContext> appContext) = 0;
    virtual void prepareForDirectQuery(std::optional<AppContext> appContext) = 0;
    virtual void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) = 0;
    virtual void showAccessibilityPrompt() = 0;
    // Opens the card at the captured region and explains the JPEG picture of it.
    virtual void showScreenshotExplanation(
        QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
        = 0;
    // Shows the message in the open card in place of an answer.
    virtual void showError(const QString& message) = 0;
};
