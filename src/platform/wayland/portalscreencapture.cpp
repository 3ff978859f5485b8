#include "platform/wayland/portalscreencapture.h"

#include "platform/framememory.h"
#include "platform/wayland/portalrequest.h"

#include <QCoroDBusPendingCall>
#include <QCoroFuture>
#include <QCoroSignal>
#include <QDBusArgument>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QScopeGuard>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {

// Outside the coroutine below: GCC 12 mishandles lambdas that capture a coroutine's locals.
QFuture<QList<QImage>> startReading(WorkerThread& reader, const QString& path, const QList<ScreenInfo>& screens)
{
    return reader.run([path, screens] {
        return PortalScreenCapture::cutIntoScreens(PortalScreenCapture::takeScreenshotFile(path), screens);
    });
}

QDBusMessage permissionLookup()
{
    auto lookup = QDBusMessage::createMethodCall(PortalScreenCapture::permissionStore,
        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"), PortalScreenCapture::permissionStore,
        QStringLiteral("Lookup"));
    lookup << QStringLiteral("screenshot") << QStringLiteral("screenshot");
    return lookup;
}

// What the store's answer to Lookup says for programs outside a sandbox (app id ""): "yes" or "no" as the portal
// wrote them; anything else (no entry, no table, no store, a malformed answer) counts as not asked yet.
ScreenCapture::Permission permissionFrom(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()
        || reply.signature() != QLatin1String("a{sas}v"))
        return ScreenCapture::Permission::NotAsked;
    const auto entries = qdbus_cast<QMap<QString, QStringList>>(reply.arguments().constFirst());
    const QStringList answer = entries.value(QString());
    if (answer.value(0) == QLatin1String("yes"))
        return ScreenCapture::Permission::Allowed;
    if (answer.value(0) == QLatin1String("no"))
        return ScreenCapture::Permission::Refused;
    return ScreenCapture::Permission::NotAsked;
}

// Built outside the coroutine below: GCC 12 miscompiles initializer lists there.
QVariantList screenshotArguments() { return { QString() }; } // no parent window
QVariantMap screenshotOptions()
{
    return { { QStringLiteral("interactive"), false }, { QStringLiteral("modal"), false } };
}

} // namespace

PortalScreenCapture::PortalScreenCapture(QDBusConnection bus, bool desktopAsksFirst, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_asksFirst(desktopAsksFirst)
{
    [[maybe_unused]] auto task = learnAvailability();
}

PortalScreenCapture::~PortalScreenCapture() = default;

QCoro::Task<> PortalScreenCapture::learnAvailability()
{
    const QPointer<PortalScreenCapture> self(this);
    const uint version = co_await Portal::interfaceVersion(m_bus, interface);
    if (self)
        m_available = version > 0;
}

QCoro::Task<ScreenCapture::Permission> PortalScreenCapture::permission()
{
    if (!m_asksFirst || m_allowed)
        co_return Permission::Allowed;
    const int timeoutMs = int(std::min<std::chrono::milliseconds::rep>(m_deadline.count(), 5000));
    QDBusPendingCall lookup = m_bus.asyncCall(permissionLookup(), timeoutMs);
    co_await lookup;
    co_return permissionFrom(lookup.reply());
}

QImage PortalScreenCapture::takeScreenshotFile(const QString& path)
{
    if (path.isEmpty())
        return {};
    const auto removeFile = qScopeGuard([&] { QFile::remove(path); });
    const QFileInfo file(path);
    if (!file.isFile() || file.size() > maximumFileSize)
        return {};
    QImageReader reader(path);
    reader.setAllocationLimit(int(maximumFileSize / (1024 * 1024)));
    // Decoded straight into memory mapped in one go (FrameMemory) in the format the decoder picks, which Qt's
    // PNG reader fills in place when the image it is given has its size and format: no fresh buffer faulted in
    // a page at a time, no second pass to convert. Opaque pixels then only need their format's name changed.
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    QImage image;
    if (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32) {
        const qsizetype pixels = qsizetype(size.width()) * qsizetype(size.height());
        if (size.isValid() && pixels * 4 <= maximumFileSize)
            image = FrameMemory::allocate(size, format);
    }
    if (!reader.read(&image))
        return {};
    if (image.format() == QImage::Format_ARGB32) {
        // What shows on a screen is opaque; Qt's conversion of a non-premultiplied image drops the alpha too,
        // but would copy this one, whose memory is not Qt's own.
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                row[x] |= 0xff000000u;
        }
        image.reinterpretAsFormat(QImage::Format_RGB32);
    }
    return std::move(image).convertToFormat(QImage::Format_RGB32);
}

QList<QImage> PortalScreenCapture::cutIntoScreens(const QImage& whole, const QList<ScreenInfo>& screens)
{
    QList<QImage> images;
    QRectF desktop;
    for (const ScreenInfo& screen : screens)
        desktop = desktop.united(screen.frame);
    if (whole.isNull() || desktop.isEmpty()) {
        images.resize(screens.size());
        return images;
    }
    const qreal pixelsPerUnit = whole.width() / desktop.width();
    for (const ScreenInfo& screen : screens) {
        const QRect part
            = QRectF((screen.frame.topLeft() - desktop.topLeft()) * pixelsPerUnit, screen.frame.size() * pixelsPerUnit)
                  .toAlignedRect()
                  .intersected(whole.rect());
        // Not a copy: the whole picture when the screen is all of it (one screen), else a view into it that
        // keeps it alive. Nothing writes to the pictures.
        QImage image;
        if (part == whole.rect()) {
            image = whole;
        } else if (!part.isEmpty() && whole.depth() == 32) {
            auto* keep = new QImage(whole);
            image = QImage(
                const_cast<uchar*>(keep->constBits()) + qsizetype(part.top()) * keep->bytesPerLine()
                    + qsizetype(part.left()) * 4,
                part.width(), part.height(), keep->bytesPerLine(), keep->format(),
                [](void* info) { delete static_cast<QImage*>(info); }, keep);
        } else if (!part.isEmpty()) {
            image = whole.copy(part);
        }
        // The overlay paints each screen in its own device pixels.
        const QSize devicePixels = (screen.frame.size() * screen.scale).toSize();
        if (!image.isNull() && image.size() != devicePixels)
            image = image.scaled(devicePixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        images.append(std::move(image));
    }
    return images;
}

QCoro::Task<QList<QImage>> PortalScreenCapture::grabScreens(QList<ScreenInfo> screens)
{
    const QPointer<PortalScreenCapture> self(this);
    // One capture at a time, its file read and deleted before the next is asked for: the desktop names the files
    // to the second, so two captures in one second would otherwise share one.
    while (m_capturing) {
        co_await qCoro(this, &PortalScreenCapture::captureEnded);
        if (!self)
            co_return QList<QImage>(screens.size());
    }
    m_capturing = true;
    const auto ended = qScopeGuard([self] {
        if (self) {
            self->m_capturing = false;
            emit self->captureEnded();
        }
    });

    const Portal::Response shot = co_await Portal::request(
        m_bus, interface, QStringLiteral("Screenshot"), screenshotArguments(), screenshotOptions(), m_deadline);
    if (!self)
        co_return QList<QImage>(screens.size());
    if (!shot.succeeded()) {
        std::printf("[PortalScreenCapture] no screenshot: %s\n", qPrintable(shot.describe()));
        std::fflush(stdout);
        if (shot.outcome == Portal::Response::Outcome::Error)
            m_available = false;
        co_return QList<QImage>(screens.size());
    }
    m_allowed = true;
    const QUrl uri(shot.results.value(QStringLiteral("uri")).toString());
    const QString path = uri.isLocalFile() ? uri.toLocalFile() : QString();
    if (!m_reader)
        m_reader = std::make_unique<WorkerThread>(QStringLiteral("screenshot reader"));
    QList<QImage> images = co_await startReading(*m_reader, path, screens);
    if (std::all_of(images.cbegin(), images.cend(), [](const QImage& image) { return image.isNull(); })) {
        std::printf("[PortalScreenCapture] the desktop's screenshot file could not be read\n");
        std::fflush(stdout);
    }
    co_return images;
}
