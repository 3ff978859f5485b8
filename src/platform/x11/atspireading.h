#pragma once

#include <QRectF>
#include <QString>

#include <chrono>
#include <optional>

// The libatspi calls themselves. Every function here must run on the one AT-SPI thread.
namespace AtspiReading {

struct Selection {
    QString text;
    std::optional<QRectF> rect; // screen pixels
};

// The selection of the focused element in the active window of process pid (any process but
// ownPid when pid is 0, or when pid's accessible tree has no active window).
std::optional<Selection> focusedSelection(
    qint64 pid, qint64 ownPid, std::chrono::milliseconds callTimeout, std::chrono::milliseconds budget);

} // namespace AtspiReading
