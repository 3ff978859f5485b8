#include "popup/popuppanel.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QQuickItem>
#include <QRegion>
#include <QScreen>

#include <utility>

namespace {

// How long a panel over an output waits for the pointer to enter it before it centres its content.
constexpr std::chrono::milliseconds pointerWait { 250 };
// How long it waits for the compositor to make it full screen; one that never does gets its content centred.
constexpr std::chrono::milliseconds fullScreenWait { 1000 };

} // namespace

PopupPanel::PopupPanel(QWindow* parent)
    : QQuickWindow(parent)
{
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    // Tells the xcb plugin to give the window a zero user time, so the window manager does not focus it.
    setProperty("_q_showWithoutActivating", true);
    setColor(Qt::transparent);
    m_placeWithoutPointer.setSingleShot(true);
    connect(&m_placeWithoutPointer, &QTimer::timeout, this, [this] { placeContent(std::nullopt); });
    // The pointer can only enter once the desktop shows the surface, a while after its first full-screen frame
    // (longer on a slow machine): the wait for it starts there. A pointer on another output never enters, and
    // the content goes to this output's centre then.
    connect(this, &QQuickWindow::frameSwapped, this, [this] {
        if (!m_contentPlaced && m_place && coversOutput() && !std::exchange(m_waitingForPointer, true))
            m_placeWithoutPointer.start(pointerWait);
    });
}

void PopupPanel::setContent(QQuickItem* root, qreal cornerRadius)
{
    m_content = root;
    m_cornerRadius = cornerRadius;
    root->setParentItem(contentItem());
    root->setParent(this);
    root->setPosition({ 0, 0 });
    resize(qCeil(root->width()), qCeil(root->height()));
    updateMask();
}

void PopupPanel::showInactive()
{
    setFlag(Qt::WindowDoesNotAcceptFocus, true);
    show();
}

void PopupPanel::showOverOutput(Placer place, bool maximized)
{
    m_place = std::move(place);
    m_maximized = maximized;
    m_contentSize = size();
    m_contentPlaced = false;
    m_placedByPointer = false;
    m_waitingForPointer = false;
    // Hidden, and the whole surface taking the pointer, until the content has its place.
    m_content->setVisible(false);
    updateMask();
    setFlag(Qt::WindowDoesNotAcceptFocus, true);
    // Not showFullScreen(), which asks for the keyboard too. Asked for once the surface exists: asked for
    // before, Qt's Wayland plugin never passes it on.
    show();
    setWindowStates(maximized ? Qt::WindowMaximized : Qt::WindowFullScreen);
    m_placeWithoutPointer.start(fullScreenWait);
}

bool PopupPanel::coversOutput() const
{
    // Until the compositor's full-screen or maximized size arrives, positions in the surface are not positions on
    // the output.
    if (m_maximized)
        return windowStates().testFlag(Qt::WindowMaximized) && size() != m_contentSize;
    return screen() && size() == screen()->geometry().size();
}

bool PopupPanel::event(QEvent* event)
{
    if (!m_placedByPointer && m_place && coversOutput()) {
        if (event->type() == QEvent::Enter)
            placeContent(static_cast<QEnterEvent*>(event)->position());
        else if (event->type() == QEvent::MouseMove || event->type() == QEvent::HoverMove)
            placeContent(static_cast<QSinglePointEvent*>(event)->position());
    }
    return QQuickWindow::event(event);
}

void PopupPanel::placeContent(std::optional<QPointF> pointer)
{
    if (m_placedByPointer || (m_contentPlaced && !pointer) || !m_place || !m_content)
        return;
    m_contentPlaced = true;
    m_placedByPointer = pointer.has_value();
    m_placeWithoutPointer.stop();
    const QRectF frame = m_place(m_content->size(), pointer, QRectF(QPointF(0, 0), QSizeF(size())));
    m_content->setPosition(frame.topLeft());
    m_content->setVisible(true);
    updateMask();
}

void PopupPanel::mousePressEvent(QMouseEvent* event)
{
    if (!m_placedByPointer && m_place && (!m_contentPlaced || coversOutput())) {
        // A click before the content has its place beside the pointer says where the pointer is.
        placeContent(coversOutput() ? std::optional<QPointF>(event->position()) : std::nullopt);
        return;
    }
    // The first click asks for the keyboard; until then typing goes to the application underneath.
    if (!isActive()) {
        setFlag(Qt::WindowDoesNotAcceptFocus, false);
        requestActivate();
    }
    QQuickWindow::mousePressEvent(event);
}

void PopupPanel::resizeEvent(QResizeEvent* event)
{
    QQuickWindow::resizeEvent(event);
    updateMask();
}

void PopupPanel::updateMask()
{
    // The offscreen platform of the tests and benchmarks has no masks.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    if (m_place) {
        // Over an output: the content alone takes input once placed beside the pointer, the whole surface until
        // then.
        setMask(m_placedByPointer && m_content
                ? QRegion(QRectF(m_content->position(), m_content->size()).toAlignedRect())
                : QRegion());
        return;
    }
    if (m_cornerRadius <= 0 || width() <= 0 || height() <= 0) {
        setMask({});
        return;
    }
    // Without a compositor the window cannot be transparent; the mask gives the card its rounded corners.
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, width(), height()), m_cornerRadius, m_cornerRadius);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}
