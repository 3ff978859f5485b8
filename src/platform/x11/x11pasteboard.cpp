#include "platform/x11/x11pasteboard.h"

#include "platform/x11/x11util.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

X11Pasteboard::X11Pasteboard()
{
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode != QClipboard::Clipboard)
            return;
        ++m_changeCount;
        emit changed();
    });
}

std::optional<QString> X11Pasteboard::text() const
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

PasteboardSnapshot X11Pasteboard::snapshot() const
{
    PasteboardSnapshot snapshot;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data)
        return snapshot;
    for (const QString& format : data->formats()) {
        // Qt's decoded image is a copy of an encoded format already in the list; bare atom names
        // (TARGETS, TIMESTAMP, SAVE_TARGETS, ...) are protocol, not content.
        if (format == QLatin1String("application/x-qt-image") || !format.contains(QLatin1Char('/')))
            continue;
        const QByteArray bytes = data->data(format);
        if (!bytes.isNull())
            snapshot.formats.append({ format, bytes });
    }
    return snapshot;
}

void X11Pasteboard::restore(const PasteboardSnapshot& snapshot)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (snapshot.isEmpty()) {
        clipboard->clear(QClipboard::Clipboard);
        return;
    }
    auto* data = new QMimeData;
    for (const auto& [format, bytes] : snapshot.formats)
        data->setData(format, bytes);
    clipboard->setMimeData(data, QClipboard::Clipboard); // the clipboard takes ownership
}

std::optional<QString> X11Pasteboard::primarySelectionOwnedBy(qint64 pid) const
{
    if (pid <= 0)
        return std::nullopt;
    const xcb_window_t owner = X11::selectionOwner(XCB_ATOM_PRIMARY);
    if (owner == XCB_WINDOW_NONE || X11::processOfWindow(owner) != pid)
        return std::nullopt;
    const QString text = QGuiApplication::clipboard()->text(QClipboard::Selection);
    if (text.isEmpty())
        return std::nullopt;
    return text;
}
