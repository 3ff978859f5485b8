#pragma once

#include "platform/mousedownmonitor.h"

#include <QMetaObject>

// Wayland tells no client where the user clicks outside its own windows. What it does tell: one of Quillora's
// windows that had the keyboard lost it to another program, as a click elsewhere does. That is reported as a
// press, at a position outside every window.
class FocusLossMouseDownMonitor final : public MouseDownMonitor {
    Q_OBJECT

public:
    using MouseDownMonitor::MouseDownMonitor;
    ~FocusLossMouseDownMonitor() override { stop(); }
    void start() override;
    void stop() override;

private:
    QMetaObject::Connection m_focusChanged;
};
