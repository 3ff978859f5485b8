#include "capture/accessibilityreader.h"

#include "capture/appcontext.h"
#include "platform/platform.h"

AccessibilityReader::AccessibilityReader(Platform& platform)
    : m_platform(platform)
    , m_clipboardGuard(platform)
{
}

QCoro::Task<SelectionReading> AccessibilityReader::readSelection(
    std::optional<FrontmostAppInfo> app, bool useAccessibility)
{
    const qint64 pid = app ? app->pid : 0;

    std::optional<AccessibleSelection> accessible;
    if (useAccessibility)
        accessible = co_await m_platform.accessibility->focusedSelection(pid);
    if (accessible && !accessible->text.isEmpty())
        co_return SelectionReading { accessible->text, accessible->rect };

    // The PRIMARY selection is whatever was selected last anywhere; it only speaks for the application
    // the user is in when that application owns it, or set it since the user went to it. The pasteboard is asked
    // even about an application not known here (yet): where the compositor lists the windows (Sway), it tells by
    // itself whether the selection was made in the active one.
    const FrontmostAppInfo unknown;
    const FrontmostAppInfo& asked = app ? *app : unknown;
    if (std::optional<QString> primary = co_await m_platform.pasteboard->primarySelectionOwnedBy(asked);
        primary && !primary->isEmpty())
        co_return SelectionReading { std::move(primary), std::nullopt };

    // A key stroke goes only where it is known what it does: to an application that can be told apart,
    // and to a terminal only as its own copy shortcut.
    if (!app || pid <= 0 || app->appId.isEmpty() || AppContextCapture::hasNoCopyShortcut(app->appId))
        co_return SelectionReading {};
    const bool toTerminal = app->terminalEmulator || (accessible && accessible->inTerminal)
        || AppContextCapture::category(app->appId) == QLatin1String("terminal");
    std::optional<QString> copied = co_await m_clipboardGuard.copySelection(pid, toTerminal);
    if (copied && !copied->isEmpty())
        co_return SelectionReading { std::move(copied), std::nullopt };
    co_return SelectionReading {};
}
