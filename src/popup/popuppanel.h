#pragma once

#include <QQuickWindow>
#include <QTimer>

#include <functional>
#include <optional>

// A frameless, always-on-top tool window that does not take the focus when it appears, so the application
// the user works in stays active. A click into it gives it the keyboard.
class PopupPanel final : public QQuickWindow {
    Q_OBJECT

public:
    explicit PopupPanel(QWindow* parent = nullptr);

    // Hosts the view's root item; the window takes the item's size and cuts its corners with a mask.
    void setContent(QQuickItem* root, qreal cornerRadius);
    QQuickItem* content() const { return m_content; }

    // Shows the panel without activating it.
    void showInactive();

    // Where the content goes within the output, given its size and the pointer's position when known.
    using Placer = std::function<QRectF(QSizeF content, std::optional<QPointF> pointer, const QRectF& output)>;

    // For desktops where the compositor alone places windows (Wayland): the panel covers the output it opens
    // on (full screen, or maximized over its work area), transparent, and puts its content where `place` says
    // once it learns where the pointer is, as a surface does when the pointer enters it. Where that takes long
    // (GNOME tells a surface of the pointer only when it moves), the content shows without it meanwhile and
    // moves beside the pointer when it first moves. Once there, clicks outside it go to the windows underneath.
    void showOverOutput(Placer place, bool maximized = false);

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeContent(std::optional<QPointF> pointer);
    bool coversOutput() const;
    void updateMask();

    QQuickItem* m_content = nullptr;
    qreal m_cornerRadius = 0;
    Placer m_place; // set over an output
    bool m_maximized = false;
    QSize m_contentSize; // the panel's size before it covers the output
    bool m_contentPlaced = true;
    bool m_placedByPointer = true;
    bool m_waitingForPointer = false; // the surface is on screen, over the whole output
    QTimer m_placeWithoutPointer; // gives up waiting for the pointer, or for the compositor's full-screen size
};
