#pragma once

#include <QColor>
#include <QQuickImageProvider>
#include <QQuickPaintedItem>

class QQmlEngine;

// Serves the bundled symbol icons tinted in one colour: image://quillora-icon/<name>/<rrggbb or aarrggbb>.
class IconProvider final : public QQuickImageProvider {
public:
    static constexpr auto providerId = "quillora-icon";
    IconProvider();
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // Adds the provider to an engine that shows Quillora's views, and the SymbolIcon item type.
    static void install(QQmlEngine* engine);

    // The named icon in one colour at this size in device pixels; a null image for an unknown name.
    static QImage draw(const QString& name, const QColor& colour, QSize size);
};

// One of the bundled symbol icons painted by the item itself (Quillora 1.0 SymbolIcon). Unlike an Image, it
// keeps nothing in Qt's process-wide image cache, which is never emptied before the program ends.
class SymbolIcon : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)

public:
    explicit SymbolIcon(QQuickItem* parent = nullptr);
    QString name() const { return m_name; }
    void setName(const QString& name);
    QColor color() const { return m_color; }
    void setColor(const QColor& color);
    void paint(QPainter* painter) override;

signals:
    void nameChanged();
    void colorChanged();

private:
    QString m_name;
    QColor m_color = Qt::black;
};
