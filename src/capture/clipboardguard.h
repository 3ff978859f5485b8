#pragma once

#include "platform/pasteboard.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>

class Platform;

// Owns what happens to the user's clipboard when the copy shortcut is sent for them: the clipboard is
// taken whole (every target, bare names and a password manager's hint included) before the shortcut,
// and put back afterwards, also when the application copies later than the wait allowed. When the
// clipboard cannot be taken whole (a slow or hung owner, too much data), no shortcut is sent at all.
class ClipboardGuard final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds copyWait { 150 };
    // How long a copy that arrives after copyWait is still undone.
    static constexpr std::chrono::milliseconds lateCopyWatch { 1500 };

    explicit ClipboardGuard(Platform& platform, QObject* parent = nullptr);

    // Sends the copy shortcut to the application of process appPid and returns the text it copied, if
    // any; the clipboard then holds again what it held before.
    QCoro::Task<std::optional<QString>> copySelection(qint64 appPid, bool toTerminal);

private:
    void watchForLateCopies(const PasteboardSnapshot& snapshot, qint64 appPid);
    void stopWatching();
    QCoro::Task<> clipboardChangedWhileWatching();

    Platform& m_platform;
    struct Watch {
        PasteboardSnapshot snapshot;
        qint64 appPid = 0;
        quint64 generation = 0;
    };
    std::optional<Watch> m_watch;
    quint64 m_generation = 0;
    QMetaObject::Connection m_changed;
};
