#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

#include <xcb/xcb.h>

namespace X11 {
class Atoms;
}

// Reads X11 selections on a connection of its own, waiting on the owner only until a deadline. Every
// call blocks its caller, so it runs on a thread of its own, never on the main thread; one instance
// is used by one thread.
class X11SelectionReader {
public:
    using Clock = std::chrono::steady_clock;
    using Targets = QList<QPair<QString, QByteArray>>; // target name, bytes

    X11SelectionReader();
    ~X11SelectionReader();
    X11SelectionReader(const X11SelectionReader&) = delete;
    X11SelectionReader& operator=(const X11SelectionReader&) = delete;

    // The selections are named by atom: XCB_ATOM_PRIMARY, or clipboard().
    xcb_atom_t clipboard() const;

    // Every target the owner of selection offers, byte for byte (protocol targets and server-side
    // resources left out). Absent when the owner does not answer every target by the deadline or the
    // whole exceeds maximumBytes. An empty list when nobody owns the selection.
    std::optional<Targets> readAll(xcb_atom_t selection, Clock::time_point deadline, qsizetype maximumBytes);
    // The selection's text (UTF8_STRING, else STRING); absent when there is none or no answer in time.
    std::optional<QString> readText(xcb_atom_t selection, Clock::time_point deadline, qsizetype maximumBytes);
    // The process of the selection's owner; 0 when nobody owns it or it cannot be told.
    qint64 ownerPid(xcb_atom_t selection);

private:
    enum class Outcome { Data, Refused, Failed };
    Outcome read(xcb_atom_t selection, xcb_atom_t target, Clock::time_point deadline, qsizetype maximumBytes,
        QByteArray& data, xcb_atom_t& type);
    // The next event for our window (others are dropped); null once the deadline has passed.
    xcb_generic_event_t* waitForEvent(Clock::time_point deadline, quint8 wanted);
    QByteArray atomName(xcb_atom_t atom);

    xcb_connection_t* m_connection = nullptr;
    std::unique_ptr<X11::Atoms> m_atoms;
    xcb_window_t m_window = XCB_WINDOW_NONE;
};
