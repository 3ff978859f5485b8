#include "popup/popuppanel.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QQuickItem>
#include <QRegion>

PopupPanel::PopupPanel(QWindow* parent)
    : QQuickWindow(parent)
{
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    // Tells the xcb plugin to give the window a zero user time, so the window manager does not focus it.
    setProperty("_q_showWithoutActivating", true);
    setColor(Qt::transparent);
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

void PopupPanel::mousePressEvent(QMouseEvent* event)
{
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
    if (m_cornerRadius <= 0 || width() <= 0 || height() <= 0) {
        setMask({});
        return;
    }
    // Without a compositor the window cannot be transparent; the mask gives the card its rounded corners.
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, width(), height()), m_cornerRadius, m_cornerRadius);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}
