#pragma once

#include "wire/wirerecords.h"

#include <QByteArray>
#include <QRectF>
#include <QString>

#include <chrono>
#include <optional>

// What a trigger found to explain: the text, where it is on screen (global logical coordinates) when that is
// known, and the application it came from.
struct TextCapture {
    QString text;
    std::optional<QRectF> anchor;
    std::optional<AppContext> appContext;
};

// Where the capture coordinator's results go, one call per outcome: the popup card, short notices and the
// accessibility prompt. The application binds it to the popup; tests record the calls.
class CapturePresenter {
public:
    virtual ~CapturePresenter() = default;
    // Opens the card at the capture's anchor (centred on the pointer's screen without one) and explains its text.
    virtual void showExplanation(TextCapture capture) = 0;
    // Opens the card, centred, waiting for the user's question.
    virtual void showDirectQuery(std::optional<AppContext> appContext) = 0;
    virtual void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) = 0;
    virtual void showAccessibilityPrompt() = 0;
    // Opens the card at the captured region and explains the JPEG picture of it.
    virtual void showScreenshotExplanation(
        QByteArray jpeg, std::optional<QRectF> anchor, std::optional<AppContext> appContext)
        = 0;
    // Opens the card at the anchor with the message in place of an answer.
    virtual void showFailure(std::optional<QRectF> anchor, const QString& message) = 0;
    // Closes a card that holds the keyboard, so that the application the user came from has it again; true
    // when there was one.
    virtual bool giveBackTheKeyboard() { return false; }
};
