#pragma once

#include "platform/wayland/portalscreencapture.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <cstdlib>

// What the end-to-end tests on the KDE and GNOME test desktops share: keys and the pointer go in through
// tests/support/wayland-keys.py, and the screen comes back through the Screenshot portal.
namespace portaldesktop {

inline const QSize desktopSize(1920, 1080);

// Presses keys or moves the pointer; what the script prints (the clock, for "stamp") goes to output.
inline bool send(const QString& input, QByteArray* output = nullptr)
{
    QProcess keys;
    keys.setReadChannel(QProcess::StandardOutput);
    keys.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    keys.start(QStringLiteral("/usr/bin/python3"), QStringList { QUILLORA_WAYLAND_KEYS } + input.split(u' '));
    const bool sent = keys.waitForFinished(30000) && keys.exitStatus() == QProcess::NormalExit && keys.exitCode() == 0;
    if (output)
        *output = keys.readAllStandardOutput();
    return sent;
}

inline QImage screen()
{
    PortalScreenCapture capture(QDBusConnection::sessionBus());
    return QCoro::waitFor(capture.grabScreens({ { "screen", QRectF(QPointF(), desktopSize), {}, 1.0 } })).value(0);
}

// Whether the card's plate shows, opaque as a light theme paints it, at one of the points (or, with shown false, at
// none of them) within 15 s. Each look is a screenshot through the portal, which takes a while on a slow machine:
// the wait is counted in time, not in looks as QTRY_VERIFY counts it.
inline bool cardShows(const QList<QPoint>& points, bool shown = true)
{
    const auto plate = [](QColor seen) {
        return std::abs(seen.red() - 245) <= 2 && std::abs(seen.green() - 245) <= 2 && std::abs(seen.blue() - 246) <= 2;
    };
    for (QDeadlineTimer deadline(15000);; QTest::qWait(100)) {
        const QImage shot = screen();
        if (std::any_of(
                points.cbegin(), points.cend(), [&](QPoint p) { return !shot.isNull() && plate(shot.pixelColor(p)); })
            == shown)
            return true;
        if (deadline.hasExpired())
            return false;
    }
}

} // namespace portaldesktop
