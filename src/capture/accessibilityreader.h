#pragma once

#include "capture/clipboardguard.h"
#include "platform/frontmostapplication.h"

#include <QCoroTask>
#include <QRectF>
#include <QString>

#include <chrono>
#include <optional>

class Platform;

struct SelectionReading {
    std::optional<QString> text; // never the empty string
    std::optional<QRectF> bounds; // global logical coordinates, top-left origin
};

// Finds the text selected in the application the user is working in: through the accessibility bus,
// else the PRIMARY selection of that application, else by sending it the copy shortcut (never plain
// Ctrl+C to a terminal, nothing at all to an application that cannot be identified). The main thread
// never waits: the accessibility calls and clipboard reads run on their own threads, bounded in time.
class AccessibilityReader {
public:
    static constexpr std::chrono::milliseconds copyWait = ClipboardGuard::copyWait;

    explicit AccessibilityReader(Platform& platform);

    // Reads the selection of app, the application the user is in (nothing known: none). Without
    // useAccessibility the accessibility bus is not asked (it is off).
    QCoro::Task<SelectionReading> readSelection(std::optional<FrontmostAppInfo> app, bool useAccessibility = true);

private:
    Platform& m_platform;
    ClipboardGuard m_clipboardGuard;
};
