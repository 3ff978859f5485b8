#include "ui/qmlengineprovider.h"

#include "ui/iconprovider.h"

#include <QQmlEngine>
#include <QQuickWindow>
#include <QSGRendererInterface>

QmlEngineProvider::QmlEngineProvider()
{
    // A card-sized window costs about a fifth of the memory with the software scene graph, and draws fast
    // enough for text and a few dots. The choice is process-wide and has to precede the first window.
    // QT_QUICK_BACKEND still lets a user pick another one.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

QmlEngineProvider::~QmlEngineProvider() = default;

QQmlEngine* QmlEngineProvider::engine()
{
    if (!m_engine) {
        m_engine = std::make_unique<QQmlEngine>();
        IconProvider::install(m_engine.get());
    }
    return m_engine.get();
}
