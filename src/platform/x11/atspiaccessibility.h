#pragma once

#include "platform/accessibility.h"

#include <QThread>

#include <chrono>
#include <functional>

// Accessibility through AT-SPI. libatspi is not thread-safe and its calls block, so every libatspi call
// runs on one thread of its own; the main thread only awaits results. The bus status is read over the
// session bus asynchronously.
class AtspiAccessibility final : public Accessibility {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds callTimeout { 300 };
    // A reading gives up once this much time has gone by, however many calls it still needed.
    static constexpr std::chrono::milliseconds readingBudget { 700 };

    AtspiAccessibility();
    ~AtspiAccessibility() override;

    QCoro::Task<bool> isUsable() override;
    QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64 pid) override;
    QCoro::Task<bool> enable() override;

private:
    QThread m_thread;
    QObject* m_worker; // lives on m_thread
};
