#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <optional>

// Every format the clipboard held at one moment, byte for byte.
struct PasteboardSnapshot {
    QList<QPair<QString, QByteArray>> formats; // mime type, data
    bool isEmpty() const { return formats.isEmpty(); }
};

// The CLIPBOARD selection, and the PRIMARY selection as a fallback source of selected text.
class Pasteboard : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // Grows by at least one whenever the clipboard's content changes.
    virtual quint64 changeCount() const = 0;
    virtual std::optional<QString> text() const = 0;
    virtual PasteboardSnapshot snapshot() const = 0;
    virtual void restore(const PasteboardSnapshot& snapshot) = 0;
    // The PRIMARY selection's text, only when its owner window belongs to the process pid.
    virtual std::optional<QString> primarySelectionOwnedBy(qint64 pid) const = 0;

signals:
    void changed();
};
