#include "platform/x11/xinputmousedownmonitor.h"

#include "platform/x11/x11util.h"

#include <QGuiApplication>
#include <QWindow>

#include <xcb/xinput.h>

namespace {

constexpr quint32 leftButton = 1;
constexpr quint32 rightButton = 3;

} // namespace

XInputMouseDownMonitor::XInputMouseDownMonitor() = default;

XInputMouseDownMonitor::~XInputMouseDownMonitor()
{
    delete m_notifier;
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool XInputMouseDownMonitor::connectOnce()
{
    if (m_connection)
        return true;
    if (m_unavailable)
        return false;

    xcb_connection_t* connection = X11::openPrivateConnection();
    if (!connection) {
        m_unavailable = true;
        return false;
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
    X11::Reply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr));
    // Raw events reach the root window during another client's grab (an open menu, a drag) only for
    // clients that announce XInput 2.1 or later.
    const bool rawEventsDuringGrabs
        = version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1));
    if (!extension || !extension->present || !rawEventsDuringGrabs) {
        xcb_disconnect(connection);
        m_unavailable = true;
        return false;
    }

    m_connection = connection;
    m_xinputOpcode = extension->major_opcode;
    m_root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &XInputMouseDownMonitor::readEvents);
    return true;
}

void XInputMouseDownMonitor::start()
{
    if (m_running || !connectOnce())
        return;
    select(true);
    m_running = true;
}

void XInputMouseDownMonitor::stop()
{
    if (!m_running)
        return;
    select(false);
    m_running = false;
}

void XInputMouseDownMonitor::select(bool buttonPresses)
{
    struct {
        xcb_input_event_mask_t header;
        quint32 bits;
    } mask {};
    mask.header.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.header.mask_len = 1;
    mask.bits = buttonPresses ? XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS : 0;
    xcb_input_xi_select_events(m_connection, m_root, 1, &mask.header);
    xcb_flush(m_connection);
}

void XInputMouseDownMonitor::readEvents()
{
    bool pressed = false;
    while (const X11::Reply<xcb_generic_event_t> event { xcb_poll_for_event(m_connection) }) {
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
            const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
            if (generic->extension == m_xinputOpcode && generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
                const auto* press = reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event.get());
                pressed = pressed || press->detail == leftButton || press->detail == rightButton;
            }
        }
    }
    // Presses queued before stop() are dropped with it.
    if (pressed && m_running)
        handlePress();
    if (xcb_connection_has_error(m_connection)) {
        // The display went away; nothing more will come.
        m_notifier->setEnabled(false);
        m_running = false;
    }
}

void XInputMouseDownMonitor::handlePress()
{
    // Raw events carry no position: ask where the pointer is now, which is where the press happened.
    X11::Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    if (!pointer)
        return;
    const QPointF position = X11::toLogical(QRectF(pointer->root_x, pointer->root_y, 0, 0)).topLeft();

    for (const QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->isVisible() && window->geometry().contains(position.toPoint()))
            return; // a press inside one of our own windows
    }
    emit mouseDown(position);
}

std::unique_ptr<MouseDownMonitor> makeXInputMouseDownMonitor() { return std::make_unique<XInputMouseDownMonitor>(); }
