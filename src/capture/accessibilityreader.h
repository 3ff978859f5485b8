#pragma once

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
// else the PRIMARY selection of that application, else by sending it the copy shortcut. The main
// thread never waits: the accessibility calls run on their own thread and the clipboard waits are
// asynchronous.
class AccessibilityReader {
public:
    static constexpr std::chrono::milliseconds copyWait { 150 };

    // Uses Platform::current() at each reading unless a platform is given.
    explicit AccessibilityReader(Platform* platform = nullptr);

    QCoro::Task<SelectionReading> readSelection();

private:
    Platform& platform() const;
    QCoro::Task<std::optional<QString>> readViaCopy(bool toTerminal);

    Platform* m_platform;
};
