#pragma once

#include "platform/screens.h"

#include <QCoroTask>

#include <memory>

// Sway's screens: as Qt sees them, and, since Sway lets no client place its own windows, the card moved beside
// the pointer through Sway's IPC socket ($SWAYSOCK), which takes the commands a user's configuration could give.
class SwayScreens final : public Screens {
public:
    explicit SwayScreens(QString socketPath);
    ~SwayScreens() override;

    // Whether this session is Sway's, with its IPC socket.
    static bool isSwaySession();

    QList<ScreenInfo> screens() const override { return m_qt->screens(); }
    ScreenInfo primary() const override { return m_qt->primary(); }
    QPointF pointerPosition() const override { return m_qt->pointerPosition(); }
    bool placesWindows() const override { return false; }
    Overlay overlay() const override { return Overlay::None; }
    void moveBesidePointer(QWindow* window, PlaceBesidePointer place) override;

private:
    QCoro::Task<> move(QPointer<QWindow> window, PlaceBesidePointer place);

    std::unique_ptr<Screens> m_qt;
    QString m_socketPath;
};
