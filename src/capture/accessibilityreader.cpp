#include "capture/accessibilityreader.h"

#include "capture/appcontext.h"
#include "platform/platform.h"

#include <QCoroSignal>
#include <QPointer>

AccessibilityReader::AccessibilityReader(Platform* platform)
    : m_platform(platform)
{
}

Platform& AccessibilityReader::platform() const { return m_platform ? *m_platform : Platform::current(); }

QCoro::Task<SelectionReading> AccessibilityReader::readSelection()
{
    const std::optional<FrontmostAppInfo> app = platform().frontmostApplication->current();
    const qint64 pid = app ? app->pid : 0;

    const std::optional<AccessibleSelection> accessible = co_await platform().accessibility->focusedSelection(pid);
    if (accessible && !accessible->text.isEmpty())
        co_return SelectionReading { accessible->text, accessible->rect };

    // The PRIMARY selection is whatever was selected last anywhere; it only speaks for the application
    // the user is in when that application owns it.
    if (pid > 0) {
        if (std::optional<QString> primary = platform().pasteboard->primarySelectionOwnedBy(pid);
            primary && !primary->isEmpty())
            co_return SelectionReading { std::move(primary), std::nullopt };
    }

    const QString appId = app ? app->appId : QString();
    if (AppContextCapture::hasNoCopyShortcut(appId))
        co_return SelectionReading {};
    const bool toTerminal = AppContextCapture::category(appId) == QLatin1String("terminal");
    std::optional<QString> copied = co_await readViaCopy(toTerminal);
    if (copied && !copied->isEmpty())
        co_return SelectionReading { std::move(copied), std::nullopt };
    co_return SelectionReading {};
}

QCoro::Task<std::optional<QString>> AccessibilityReader::readViaCopy(bool toTerminal)
{
    // The platform outlives every reading, but the pasteboard is a QObject: guard it across the waits.
    QPointer<Pasteboard> pasteboard = platform().pasteboard.get();
    KeyboardSynthesizer* keyboard = platform().keyboard.get();

    const PasteboardSnapshot before = pasteboard->snapshot();
    const quint64 changeCount = pasteboard->changeCount();
    if (!co_await keyboard->sendCopyShortcut(toTerminal) || !pasteboard)
        co_return std::nullopt;

    if (pasteboard->changeCount() == changeCount)
        co_await qCoro(pasteboard.data(), &Pasteboard::changed, copyWait);
    if (!pasteboard || pasteboard->changeCount() == changeCount)
        co_return std::nullopt; // nothing was copied: the clipboard is left as it is

    std::optional<QString> copied = pasteboard->text();
    pasteboard->restore(before);
    co_return copied;
}
