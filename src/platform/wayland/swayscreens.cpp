#include "platform/wayland/swayscreens.h"

#include "platform/unavailablebackends.h"

#include <QCoreApplication>
#include <QCoroLocalSocket>
#include <QCoroSignal>
#include <QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtEndian>

#include <chrono>
#include <optional>

namespace {

using namespace std::chrono_literals;

// Sway's IPC: "i3-ipc", the payload's length and the message type (both in the machine's byte order), the payload.
constexpr QByteArrayView magic("i3-ipc");
constexpr qsizetype headerSize = 6 + 4 + 4;
enum MessageType : quint32 { RunCommand = 0, GetTree = 4 };
// A tree of a few hundred windows is well under this.
constexpr quint32 maximumReply = 8 * 1024 * 1024;
// Each answer comes at once from a working compositor; a stuck one leaves the card where it is.
constexpr auto answerWithin = 500ms;

QByteArray message(MessageType type, const QByteArray& payload)
{
    QByteArray bytes = magic.toByteArray();
    const quint32 header[2] { quint32(payload.size()), type };
    bytes.append(reinterpret_cast<const char*>(header), sizeof header);
    return bytes + payload;
}

// Reads exactly `size` bytes, or nothing once the deadline passes or the socket closes.
QCoro::Task<std::optional<QByteArray>> readExactly(
    QLocalSocket& socket, qint64 size, std::chrono::steady_clock::time_point deadline)
{
    QByteArray bytes;
    while (bytes.size() < size) {
        if (socket.bytesAvailable() == 0) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || socket.state() != QLocalSocket::ConnectedState)
                co_return std::nullopt;
            const auto arrived = co_await qCoro(&socket, &QLocalSocket::readyRead, left);
            if (!arrived)
                co_return std::nullopt;
        }
        bytes += socket.read(size - bytes.size());
    }
    co_return bytes;
}

QCoro::Task<std::optional<QByteArray>> request(QLocalSocket& socket, MessageType type, QByteArray payload)
{
    const auto deadline = std::chrono::steady_clock::now() + answerWithin;
    socket.write(message(type, payload));
    const std::optional<QByteArray> header = co_await readExactly(socket, headerSize, deadline);
    if (!header || !header->startsWith(magic))
        co_return std::nullopt;
    const quint32 length = qFromUnaligned<quint32>(header->constData() + 6);
    if (length > maximumReply)
        co_return std::nullopt;
    co_return co_await readExactly(socket, length, deadline);
}

struct Found {
    qint64 id = 0;
    QRectF rect;
    QRectF output;
};

QRectF rectOf(const QJsonObject& node)
{
    const QJsonObject rect = node.value(QLatin1String("rect")).toObject();
    return QRectF(rect.value(QLatin1String("x")).toDouble(), rect.value(QLatin1String("y")).toDouble(),
        rect.value(QLatin1String("width")).toDouble(), rect.value(QLatin1String("height")).toDouble());
}

// The newest floating window of this process (the one just shown: Quillora shows one panel at a time), and the
// output it is on.
std::optional<Found> findWindow(const QByteArray& tree, qint64 pid)
{
    std::optional<Found> found;
    const std::function<void(const QJsonObject&, QRectF, int)> search
        = [&](const QJsonObject& node, QRectF output, int depth) {
              if (depth > 64)
                  return;
              if (node.value(QLatin1String("type")) == QLatin1String("output"))
                  output = rectOf(node);
              const qint64 id = node.value(QLatin1String("id")).toInteger();
              if (node.value(QLatin1String("type")) == QLatin1String("floating_con")
                  && node.value(QLatin1String("pid")).toInteger() == pid && (!found || id > found->id))
                  found = Found { id, rectOf(node), output };
              for (const char* children : { "nodes", "floating_nodes" }) {
                  for (const QJsonValue child : node.value(QLatin1String(children)).toArray())
                      search(child.toObject(), output, depth + 1);
              }
          };
    search(QJsonDocument::fromJson(tree).object(), QRectF(), 0);
    return found;
}

// Sway's answer to a command: [{"success": true}].
bool succeeded(const std::optional<QByteArray>& reply)
{
    return reply && QJsonDocument::fromJson(*reply).array().first().toObject().value(QLatin1String("success")).toBool();
}

QByteArray command(qint64 id, const QString& what)
{
    return QStringLiteral("[con_id=%1] %2").arg(id).arg(what).toUtf8();
}

} // namespace

SwayScreens::SwayScreens(QString socketPath)
    : m_qt(makeQtScreens())
    , m_socketPath(std::move(socketPath))
{
}

SwayScreens::~SwayScreens() = default;

bool SwayScreens::isSwaySession()
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(u"sway", Qt::CaseInsensitive)
        && qEnvironmentVariableIsSet("SWAYSOCK");
}

void SwayScreens::moveBesidePointer(QWindow* window, PlaceBesidePointer place)
{
    [[maybe_unused]] auto task = move(window, std::move(place));
}

QCoro::Task<> SwayScreens::move(QPointer<QWindow> window, PlaceBesidePointer place)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    // GCC 12: values are named before they are awaited, never made inside the co_await.
    const QByteArray none;
    // A local socket is usually connected at once, before anything could wait for the signal.
    if (socket.state() != QLocalSocket::ConnectedState) {
        const auto connected = co_await qCoro(&socket, &QLocalSocket::connected, answerWithin);
        if (!connected)
            co_return;
    }
    const qint64 pid = QCoreApplication::applicationPid();
    // Sway lists the window once it has shown its first frame.
    std::optional<Found> shown;
    for (int attempt = 0; attempt < 40 && window && !shown; ++attempt) {
        const std::optional<QByteArray> tree = co_await request(socket, GetTree, none);
        if (!tree || !window)
            co_return;
        shown = findWindow(*tree, pid);
        if (!shown)
            co_await QCoro::sleepFor(25ms);
    }
    if (!shown)
        co_return;
    // Sway tells no client where the pointer is, but centres a window on it when asked.
    const QByteArray toPointer = command(shown->id, QStringLiteral("move position cursor"));
    const std::optional<QByteArray> centred = co_await request(socket, RunCommand, toPointer);
    if (!succeeded(centred) || !window)
        co_return;
    const std::optional<QByteArray> tree = co_await request(socket, GetTree, none);
    if (!tree || !window)
        co_return;
    const std::optional<Found> onPointer = findWindow(*tree, pid);
    if (!onPointer || onPointer->output.isEmpty())
        co_return;
    const QRectF frame = place(onPointer->rect.size(), onPointer->rect.center(), onPointer->output);
    const QByteArray beside = command(
        shown->id, QStringLiteral("move absolute position %1 %2").arg(qRound(frame.x())).arg(qRound(frame.y())));
    co_await request(socket, RunCommand, beside);
}
