#pragma once

#include "platform/pasteboard.h"

#include <chrono>
#include <memory>

class WorkerThread;

// The X11 CLIPBOARD and PRIMARY selections. Reads go through a connection and a thread of their own,
// so an owner that is slow or hung never stalls the main thread; the clipboard is owned (restored)
// through QClipboard, which also hands it to a clipboard manager when Quillora quits. Changes are
// counted from QClipboard's XFixes owner-change events. Every read ends by its deadline, so the destructor,
// which joins the reading thread, waits at most one read timeout.
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
    QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(const FrontmostAppInfo& app) override;

private:
    std::unique_ptr<WorkerThread> m_worker; // owns the reader, which lives and dies on it
    quint64 m_changeCount = 0;
};
