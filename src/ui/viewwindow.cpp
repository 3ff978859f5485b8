#include "ui/viewwindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <QtMath>

#include <cstdio>

ViewWindow* ViewWindow::create(
    QQmlEngine* engine, const QUrl& view, const QVariantMap& properties, const QString& title)
{
    QQmlComponent component(engine, view, QQmlComponent::PreferSynchronous);
    QObject* object = component.isReady() ? component.createWithInitialProperties(properties) : nullptr;
    auto* root = qobject_cast<QQuickItem*>(object);
    if (!root) {
        delete object;
        // A broken view is a build fault; say so, but never take the program down for it.
        std::printf("[ViewWindow] cannot load %s: %s\n", qPrintable(view.toString()),
            qPrintable(component.errorString().trimmed()));
        std::fflush(stdout);
        return nullptr;
    }

    auto* window = new ViewWindow;
    window->m_view = root;
    QQmlEngine::setObjectOwnership(root, QQmlEngine::CppOwnership);
    root->setParent(window);
    root->setParentItem(window->contentItem());
    window->setTitle(title);
    window->setFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    // The view's size, kept as its content grows or shrinks (a note that appears); equal limits: not resizable
    // by the user.
    const auto fit = [window, root] {
        const QSize size(qCeil(root->implicitWidth()), qCeil(root->implicitHeight()));
        root->setSize(size);
        window->setMinimumSize(size);
        window->setMaximumSize(size);
        window->resize(size);
    };
    fit();
    connect(root, &QQuickItem::implicitHeightChanged, window, fit);
    connect(root, &QQuickItem::implicitWidthChanged, window, fit);
    window->setColor(QGuiApplication::palette().color(QPalette::Window));
    if (root->metaObject()->indexOfSignal("closeRequested()") >= 0) {
        // Queued: the view's own handler is still running when it asks.
        connect(root, SIGNAL(closeRequested()), window, SLOT(close()), Qt::QueuedConnection);
    }
    connect(window, &QWindow::visibleChanged, window, [window](bool visible) {
        if (!visible)
            window->deleteLater();
    });
    return window;
}

bool ViewWindow::event(QEvent* event)
{
    const bool handled = QQuickWindow::event(event);
    // Closing (the close button, close()) destroys the native window without always saying it became hidden.
    if (event->type() == QEvent::Close && event->isAccepted())
        deleteLater();
    return handled;
}

void ViewWindow::present()
{
    if (!m_placed) {
        m_placed = true;
        QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame(QPoint(), size());
            frame.moveCenter(screen->availableGeometry().center());
            setPosition(frame.topLeft());
        }
    }
    show();
    raise();
    requestActivate();
}
