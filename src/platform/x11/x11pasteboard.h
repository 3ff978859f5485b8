#pragma once

#include "platform/pasteboard.h"

#include <QThread>

#include <chrono>

// The X11 CLIPBOARD and PRIMARY selections. Reads go through a connection and a thread of their own,
// so an owner that is slow or hung never stalls the main thread; the clipboard is owned (restored)
// through QClipboard, which also hands it to a clipboard manager when Quillora quits. Changes are
// counted from QClipboard's XFixes owner-change events.
class X11Pasteboard final : public Pasteboard {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds readTimeout { 300 };
    static constexpr qsizetype maximumSnapshotBytes = 64 * 1024 * 1024;
    static constexpr qsizetype maximumTextBytes = 4 * 1024 * 1024;

    X11Pasteboard();
    ~X11Pasteboard() override;

    quint64 changeCount() const override { return m_changeCount; }
    QCoro::Task<std::optional<QString>> text() override;
    QCoro::Task<std::optional<PasteboardSnapshot>> snapshot() override;
    void restore(const PasteboardSnapshot& snapshot) override;
    QCoro::Task<qint64> ownerPid() override;
    QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(qint64 pid) override;

private:
    QThread* m_thread;
    QObject* m_worker; // lives on m_thread and owns the reader
    quint64 m_changeCount = 0;
};
