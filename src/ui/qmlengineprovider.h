#pragma once

#include <memory>

class QQmlEngine;

// The one QML engine that every window's view is created in, built on first use: a launch that shows no
// window builds none. Owned by the application; every window made from it must be gone before it is.
class QmlEngineProvider {
public:
    QmlEngineProvider();
    ~QmlEngineProvider();
    QmlEngineProvider(const QmlEngineProvider&) = delete;
    QmlEngineProvider& operator=(const QmlEngineProvider&) = delete;

    QQmlEngine* engine();
    bool hasEngine() const { return m_engine != nullptr; }

private:
    std::unique_ptr<QQmlEngine> m_engine;
};
