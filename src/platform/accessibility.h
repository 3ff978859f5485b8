#pragma once

#include <QCoroTask>
#include <QObject>
#include <QRectF>
#include <QString>

#include <optional>

struct AccessibleSelection {
    QString text; // exactly as the application reports it
    std::optional<QRectF> rect; // the selected range on screen, when the toolkit reports one
};

// The desktop accessibility interface. Calls never block the caller's thread.
class Accessibility : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    virtual QCoro::Task<bool> isUsable() = 0;
    virtual QCoro::Task<std::optional<AccessibleSelection>> focusedSelection() = 0;
    // Turns the desktop's accessibility support on; false when that was not possible.
    virtual QCoro::Task<bool> enable() = 0;
};
