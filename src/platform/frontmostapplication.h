#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

// The application the user is working in: the owner of the active window.
struct FrontmostAppInfo {
    QString appId; // desktop-file id, GTK application id, Flatpak id or WM_CLASS; "" when none
    QString displayName; // the .desktop Name; "" when unknown
    qint64 pid = 0;
    std::optional<QString> windowTitle; // absent when empty or unreadable
    quint64 windowId = 0;
    bool terminalEmulator = false; // its desktop entry is in the TerminalEmulator category
    // When the window became active, as its application told it; absent where windows are seen directly (X11).
    std::optional<std::chrono::steady_clock::time_point> activatedAt {};
};

class FrontmostApplication : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // Absent when no other application's window is active.
    virtual std::optional<FrontmostAppInfo> current() const = 0;

signals:
    // Another application's window became active (never emitted for Quillora's own windows).
    void otherApplicationActivated();
};
