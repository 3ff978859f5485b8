#include "capture/clipboardguard.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QTimer>

ClipboardGuard::ClipboardGuard(Platform& platform, QObject* parent)
    : QObject(parent)
    , m_platform(platform)
{
}

QCoro::Task<std::optional<QString>> ClipboardGuard::copySelection(qint64 appPid, bool toTerminal)
{
    QPointer<ClipboardGuard> self(this);
    // The platform outlives every reading, but the pasteboard is a QObject: guard it across the waits.
    QPointer<Pasteboard> pasteboard = m_platform.pasteboard.get();
    KeyboardSynthesizer* keyboard = m_platform.keyboard.get();
    stopWatching(); // an earlier copy's snapshot must not come back over this one's

    const std::optional<PasteboardSnapshot> before = co_await pasteboard->snapshot();
    if (!self || !pasteboard || !before)
        co_return std::nullopt; // what the clipboard holds could not be kept: leave it alone
    const quint64 changeCount = pasteboard->changeCount();
    if (!co_await keyboard->sendCopyShortcut(toTerminal) || !self || !pasteboard)
        co_return std::nullopt;

    if (pasteboard->changeCount() == changeCount)
        co_await qCoro(pasteboard.data(), &Pasteboard::changed, copyWait);
    if (!self || !pasteboard)
        co_return std::nullopt;
    if (pasteboard->changeCount() == changeCount) {
        watchForLateCopies(*before, appPid); // the clipboard is left as it is unless the copy comes late
        co_return std::nullopt;
    }

    std::optional<QString> copied = co_await pasteboard->text();
    if (!self || !pasteboard)
        co_return copied;
    pasteboard->restore(*before);
    watchForLateCopies(*before, appPid); // some applications set the clipboard twice
    co_return copied;
}

void ClipboardGuard::watchForLateCopies(const PasteboardSnapshot& snapshot, qint64 appPid)
{
    stopWatching();
    const quint64 generation = ++m_generation;
    m_watch = Watch { snapshot, appPid, generation };
    m_changed = connect(m_platform.pasteboard.get(), &Pasteboard::changed, this,
        [this] { QCoro::connect(clipboardChangedWhileWatching(), this, [] {}); });
    QTimer::singleShot(lateCopyWatch, this, [this, generation] {
        if (m_watch && m_watch->generation == generation)
            stopWatching();
    });
}

void ClipboardGuard::stopWatching()
{
    disconnect(m_changed);
    m_watch.reset();
}

QCoro::Task<> ClipboardGuard::clipboardChangedWhileWatching()
{
    if (!m_watch)
        co_return;
    const quint64 generation = m_watch->generation;
    QPointer<ClipboardGuard> self(this);
    const qint64 owner = co_await m_platform.pasteboard->ownerPid();
    if (!self || !m_watch || m_watch->generation != generation)
        co_return;
    if (owner > 0 && owner == m_watch->appPid)
        m_platform.pasteboard->restore(m_watch->snapshot); // the application's late copy
    else if (owner != QCoreApplication::applicationPid())
        stopWatching(); // someone else's content now (our own restore aside): never touched
}
