#pragma once

#include <QQuickImageProvider>

class QQmlEngine;

// Serves the bundled symbol icons tinted in one colour: image://quillora-icon/<name>/<rrggbb or aarrggbb>.
class IconProvider final : public QQuickImageProvider {
public:
    static constexpr auto providerId = "quillora-icon";
    IconProvider();
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // Adds the provider to an engine that shows Quillora's views.
    static void install(QQmlEngine* engine);
};
