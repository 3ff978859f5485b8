#pragma once

#include <QObject>
#include <QString>

#include <optional>

// Key combinations that reach Quillora while any application is in front. A key is a physical key
// position (an X11 keycode: the evdev code plus 8), so the keys stay where they are under any layout.
// `pressed` is emitted on the main thread, once per press (never for auto-repeat).
class GlobalHotkeys : public QObject {
    Q_OBJECT

public:
    // registerHotkey's status for a session where no global keys can be taken at all.
    static constexpr int unavailableStatus = -1;

    using QObject::QObject;

    // X11's error code for a key another client holds.
    static constexpr int heldElsewhereStatus = 10;

    // 0 when the key is taken; otherwise why not: the X error code on X11 (heldElsewhereStatus when another
    // client holds the combination) or unavailableStatus. A registered id is replaced; where the new key
    // cannot be taken, the id keeps the key it had.
    virtual int registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers) = 0;
    virtual void unregisterHotkey(quint32 id) = 0;
    // What the key does, in a few words, for desktops that list the keys they hand out (before registering).
    virtual void describeHotkey(quint32 id, const QString& description)
    {
        Q_UNUSED(id);
        Q_UNUSED(description);
    }

    // Whether the desktop decides which keys reach Quillora (the user changes them in the desktop's own
    // settings), rather than the keys registered here.
    virtual bool desktopOwnsKeys() const { return false; }
    // Where the desktop owns the keys: the key it bound to id, in its own words (empty when it bound none);
    // nothing while that is not known. desktopKeysChanged says when it may have changed.
    virtual std::optional<QString> desktopKey(quint32 id) const
    {
        Q_UNUSED(id);
        return std::nullopt;
    }

signals:
    void pressed(quint32 id);
    void desktopKeysChanged();
};
