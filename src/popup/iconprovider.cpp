#include "popup/iconprovider.h"

#include <QColor>
#include <QPainter>
#include <QQmlEngine>
#include <QSvgRenderer>

IconProvider::IconProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{
}

QImage IconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize)
{
    const qsizetype slash = id.lastIndexOf(u'/');
    const QString name = slash < 0 ? id : id.left(slash);
    const QColor colour = slash < 0 ? QColor(Qt::black) : QColor::fromString(u'#' + id.mid(slash + 1));
    // Names come from our own views, but never let one reach outside the icon folder.
    if (name.contains(u'/') || name.contains(QLatin1String("..")))
        return {};

    QSvgRenderer renderer(QStringLiteral(":/Quillora/popup/icons/%1.svg").arg(name));
    if (!renderer.isValid())
        return {};
    const QSize target = requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize : renderer.defaultSize();
    QImage image(target, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour.isValid() ? colour : QColor(Qt::black));
    }
    if (size)
        *size = image.size();
    return image;
}

void IconProvider::install(QQmlEngine* engine)
{
    if (!engine->imageProvider(QLatin1String(providerId)))
        engine->addImageProvider(QLatin1String(providerId), new IconProvider);
}
