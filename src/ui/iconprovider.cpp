#include "ui/iconprovider.h"

#include <QColor>
#include <QPainter>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSvgRenderer>
#include <QtMath>

IconProvider::IconProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{
}

QImage IconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const qsizetype slash = id.lastIndexOf(u'/');
    const QString name = slash < 0 ? id : id.left(slash);
    const QColor colour = slash < 0 ? QColor(Qt::black) : QColor::fromString(u'#' + id.mid(slash + 1));
    const QImage image = draw(name, colour, requestedSize);
    if (size)
        *size = image.size();
    return image;
}

QImage IconProvider::draw(const QString& name, const QColor& colour, QSize size)
{
    // Names come from our own views, but never let one reach outside the icon folder.
    if (name.isEmpty() || name.contains(u'/') || name.contains(QLatin1String("..")))
        return {};

    QSvgRenderer renderer(QStringLiteral(":/Quillora/ui/icons/%1.svg").arg(name));
    if (!renderer.isValid())
        return {};
    const QSize target = size.isValid() && !size.isEmpty() ? size : renderer.defaultSize();
    QImage image(target, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour.isValid() ? colour : QColor(Qt::black));
    }
    return image;
}

SymbolIcon::SymbolIcon(QQuickItem* parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void SymbolIcon::setName(const QString& name)
{
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
    update();
}

void SymbolIcon::setColor(const QColor& color)
{
    if (m_color == color)
        return;
    m_color = color;
    emit colorChanged();
    update();
}

void SymbolIcon::paint(QPainter* painter)
{
    const qreal ratio = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    const QSizeF logical = boundingRect().size();
    const QImage image
        = IconProvider::draw(m_name, m_color, QSize(qCeil(logical.width() * ratio), qCeil(logical.height() * ratio)));
    if (image.isNull())
        return;
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(boundingRect(), image);
}

void IconProvider::install(QQmlEngine* engine)
{
    static const int registered = qmlRegisterType<SymbolIcon>("Quillora", 1, 0, "SymbolIcon");
    Q_UNUSED(registered);
    if (!engine->imageProvider(QLatin1String(providerId)))
        engine->addImageProvider(QLatin1String(providerId), new IconProvider);
}
