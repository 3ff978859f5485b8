#pragma once

#include <QObject>
#include <QPointF>

// Reports left and right button presses anywhere on the desktop except inside Quillora's own windows.
class MouseDownMonitor : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    virtual void start() = 0;
    virtual void stop() = 0;

signals:
    void mouseDown(QPointF globalPosition);
};
