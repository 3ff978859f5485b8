#pragma once

#include "platform/mousedownmonitor.h"

#include <QPointer>
#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <memory>

// Left and right button presses anywhere on the X display, from XInput2 raw events on the root window.
// Raw events reach every client that asks for them, even while another client holds a grab. They come on a
// connection of our own, so Qt's event selection on its connection stays untouched. A press carries no
// position: the main thread asks for the pointer's and waits for the answer (one round trip).
class XInputMouseDownMonitor final : public MouseDownMonitor {
    Q_OBJECT

public:
    XInputMouseDownMonitor();
    ~XInputMouseDownMonitor() override;

    void start() override;
    void stop() override;

private:
    bool connectOnce();
    void select(bool buttonPresses);
    void readEvents();
    void handlePress();

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    quint8 m_xinputOpcode = 0;
    bool m_unavailable = false;
    bool m_running = false;
    QSocketNotifier* m_notifier = nullptr;
};

std::unique_ptr<MouseDownMonitor> makeXInputMouseDownMonitor();
