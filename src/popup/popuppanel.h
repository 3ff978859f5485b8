#pragma once

#include <QQuickWindow>

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

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateMask();

    QQuickItem* m_content = nullptr;
    qreal m_cornerRadius = 0;
};
