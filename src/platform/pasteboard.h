#pragma once

#include "platform/frontmostapplication.h"

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <optional>

// Every format the clipboard held at one moment, byte for byte, under its X11 target name (a mime type,
// or a bare name such as a password manager's hint); the text is under "text/plain".
struct PasteboardSnapshot {
    QList<QPair<QString, QByteArray>> formats; // target name, data
    bool isEmpty() const { return formats.isEmpty(); }
};

// The CLIPBOARD selection, and the PRIMARY selection as a fallback source of selected text. Reads wait on
// the owning application only up to a bound and never block the caller's thread.
class Pasteboard : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // Grows by at least one whenever the clipboard's content changes.
    virtual quint64 changeCount() const = 0;
    // Absent when the clipboard holds no text or its owner did not answer in time.
    virtual QCoro::Task<std::optional<QString>> text() = 0;
    // Absent when the owner did not answer every format in time, or the whole is too large to keep.
    virtual QCoro::Task<std::optional<PasteboardSnapshot>> snapshot() = 0;
    // Makes the clipboard hold the snapshot (Quillora owns it then); an empty snapshot empties it.
    virtual void restore(const PasteboardSnapshot& snapshot) = 0;
    // The process that owns the clipboard now; 0 when nobody does or it cannot be told.
    virtual QCoro::Task<qint64> ownerPid() = 0;
    // The PRIMARY selection's text, only when it speaks for app: its owner window belongs to app's process
    // (X11) or, where its owner cannot be told (Wayland), it was set after the active window became active, as
    // the compositor tells or, where it does not, as app's activatedAt says. app may be unknown (pid 0).
    virtual QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(const FrontmostAppInfo& app) = 0;

signals:
    void changed();
};
