#pragma once

#include "platform/pasteboard.h"

// The X11 CLIPBOARD and PRIMARY selections through QClipboard (whose owner-change events come from XFixes).
class X11Pasteboard final : public Pasteboard {
    Q_OBJECT

public:
    X11Pasteboard();

    quint64 changeCount() const override { return m_changeCount; }
    std::optional<QString> text() const override;
    PasteboardSnapshot snapshot() const override;
    void restore(const PasteboardSnapshot& snapshot) override;
    std::optional<QString> primarySelectionOwnedBy(qint64 pid) const override;

private:
    quint64 m_changeCount = 0;
};
