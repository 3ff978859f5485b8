#include "platform/wayland/focuslossmonitor.h"

#include <QGuiApplication>
#include <QWindow>

#include <limits>

void FocusLossMouseDownMonitor::start()
{
    if (m_focusChanged)
        return;
    m_focusChanged = connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        // Focus moving between our own windows (the card to a dialog of ours) is no click elsewhere.
        if (window)
            return;
        constexpr qreal nowhere = std::numeric_limits<qreal>::lowest();
        emit mouseDown(QPointF(nowhere, nowhere));
    });
}

void FocusLossMouseDownMonitor::stop()
{
    disconnect(m_focusChanged);
    m_focusChanged = {};
}
