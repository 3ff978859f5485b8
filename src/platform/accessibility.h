#pragma once

#include <QCoroTask>
#include <QObject>
#include <QRectF>
#include <QString>

#include <optional>

struct AccessibleSelection {
    QString text; // exactly as the application reports it
    std::optional<QRectF> rect; // the selected range on screen, when the toolkit reports one
    bool inTerminal = false; // the focused element is a terminal (whether or not anything is selected)
};

// The desktop accessibility interface. Calls never block the caller's thread.
class Accessibility : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // The accessibility bus answers and the desktop's accessibility support is switched on.
    virtual QCoro::Task<bool> isUsable() = 0;
    // The selection in the focused element of the active window. pid narrows the search to that
    // process (0: any application but Quillora). The text is empty when the focused element holds no
    // selection; absent when no focused element answered within the reading's budget.
    virtual QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64 pid) = 0;
    // Turns the desktop's accessibility support on; false when that was not possible.
    virtual QCoro::Task<bool> enable() = 0;
};
