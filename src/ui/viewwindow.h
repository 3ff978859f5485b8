#pragma once

#include <QQuickWindow>
#include <QUrl>
#include <QVariantMap>

class QQmlEngine;

// A titled, closable window of fixed size that shows one view and deletes itself once closed. The settings,
// onboarding and update windows are made of it. The view may declare `signal closeRequested()`.
class ViewWindow final : public QQuickWindow {
    Q_OBJECT

public:
    // Null, with a diagnostic line, when the view cannot be loaded. The window takes the view's implicit size.
    static ViewWindow* create(
        QQmlEngine* engine, const QUrl& view, const QVariantMap& properties, const QString& title);

    QQuickItem* view() const { return m_view; }

    // Centred on the screen under the pointer the first time; then shown, raised and given the keyboard, as
    // a window the user asked for should be.
    void present();

protected:
    bool event(QEvent* event) override;

private:
    ViewWindow() = default;

    QQuickItem* m_view = nullptr;
    bool m_placed = false;
};
