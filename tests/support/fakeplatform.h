#pragma once

#include "fakeloginitem.h"
#include "platform/platform.h"

#include <QHash>

// In-memory stand-ins for the desktop; a test sets their state and inspects what the core did.

class FakeScreens final : public Screens {
public:
    QList<ScreenInfo> all { { QStringLiteral("fake-0"), QRectF(0, 0, 1920, 1080), QRectF(0, 32, 1920, 1048), 1.0 } };
    QPointF pointer { 960, 540 };

    QList<ScreenInfo> screens() const override { return all; }
    ScreenInfo primary() const override { return all.value(0); }
    QPointF pointerPosition() const override { return pointer; }
};

class FakeMouseDownMonitor final : public MouseDownMonitor {
public:
    bool running = false;
    void start() override { running = true; }
    void stop() override { running = false; }
};

class FakeSecretStore final : public SecretStore {
public:
    QHash<QString, QByteArray> secrets;
    Outcome answer = Outcome::Done; // anything else: every call answers that and changes nothing

    QCoro::Task<Read> read(QString name) override
    {
        if (answer != Outcome::Done)
            co_return Read { answer, {} };
        co_return secrets.contains(name) ? Read { Outcome::Done, secrets.value(name) } : Read { Outcome::NotFound, {} };
    }
    QCoro::Task<Outcome> write(QString name, QByteArray secret, QString) override
    {
        if (answer == Outcome::Done)
            secrets.insert(name, secret);
        co_return answer;
    }
    QCoro::Task<Outcome> remove(QString name) override
    {
        if (answer == Outcome::Done)
            secrets.remove(name);
        co_return answer;
    }
};

class FakeFrontmostApplication final : public FrontmostApplication {
public:
    std::optional<FrontmostAppInfo> app;
    std::optional<FrontmostAppInfo> current() const override { return app; }
};

class FakeAccessibility final : public Accessibility {
public:
    bool usable = true;
    bool enableSucceeds = true; // the window snapshots show a support that stays off
    std::optional<AccessibleSelection> selection;
    int selectionReads = 0;
    qint64 lastPid = -1; // the pid of the last selection read

    QCoro::Task<bool> isUsable() override { co_return usable; }
    QCoro::Task<std::optional<AccessibleSelection>> focusedSelection(qint64 pid) override
    {
        ++selectionReads;
        lastPid = pid;
        co_return std::optional(selection); // a copy: QCoro's return_value moves from an lvalue
    }
    QCoro::Task<bool> enable() override
    {
        usable = usable || enableSucceeds;
        co_return enableSucceeds;
    }
};

class FakePasteboard final : public Pasteboard {
public:
    PasteboardSnapshot content;
    quint64 changes = 0;
    QHash<qint64, QString> primaryByOwnerPid;

    quint64 changeCount() const override { return changes; }
    QCoro::Task<std::optional<QString>> text() override { co_return plainText(); }
    QCoro::Task<std::optional<PasteboardSnapshot>> snapshot() override { co_return std::optional(content); }
    void restore(const PasteboardSnapshot& snapshot) override { setContent(snapshot); }
    QCoro::Task<qint64> ownerPid() override { co_return 0; }
    QCoro::Task<std::optional<QString>> primarySelectionOwnedBy(const FrontmostAppInfo& app) override;

    std::optional<QString> plainText() const;
    void setContent(PasteboardSnapshot snapshot);
};

class FakeKeyboard final : public KeyboardSynthesizer {
public:
    // What a copy shortcut puts on the clipboard; nothing is copied when absent.
    FakePasteboard* pasteboard = nullptr;
    std::optional<QString> textToCopy;
    QList<bool> copyShortcutsSent; // toTerminal of each call
    bool sendsKeys = true;

    QCoro::Task<bool> sendCopyShortcut(bool toTerminal) override;
    bool canSendCopyShortcut() const override { return sendsKeys; }
};

class FakeGlobalHotkeys final : public GlobalHotkeys {
public:
    struct Key {
        quint32 keyCode;
        Qt::KeyboardModifiers modifiers;
    };
    QHash<quint32, Key> registered;

    int registerHotkey(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers) override
    {
        registered.insert(id, { keyCode, modifiers });
        return 0;
    }
    void unregisterHotkey(quint32 id) override { registered.remove(id); }
    void press(quint32 id)
    {
        if (registered.contains(id))
            emit pressed(id);
    }
};

// Hands out the pictures a test put in, one per screen in order (a null image past the end).
class FakeScreenCapture final : public ScreenCapture {
public:
    bool available = true;
    QList<QImage> images;
    bool pointerHidden = false;

    bool isAvailable() const override { return available; }
    QCoro::Task<QList<QImage>> grabScreens(QList<ScreenInfo> screens) override
    {
        QList<QImage> result;
        for (qsizetype i = 0; i < screens.size(); ++i)
            result.append(images.value(i));
        co_return result;
    }
    void setPointerHidden(bool hidden) override { pointerHidden = hidden; }
};

// The desktop's own shortcuts for Quillora's keys, as a test sets them; setting up answers with `note`.
class FakeDesktopShortcuts final : public DesktopShortcuts {
public:
    bool offered = true;
    bool present = false;
    QString note;
    int setUps = 0;
    int removals = 0;

    QCoro::Task<bool> isOffered() override { co_return offered; }
    QCoro::Task<bool> areSetUp() override { co_return present; }
    QCoro::Task<QMap<QString, QString>> keysSetUp() override
    {
        QMap<QString, QString> keys;
        if (present)
            keys.insert(QStringLiteral("--ask"), QStringLiteral("Ctrl+Alt+A"));
        co_return keys;
    }
    QCoro::Task<Outcome> setUp() override { co_return change(true, note); }
    QCoro::Task<Outcome> remove() override { co_return change(false, {}); }

private:
    Outcome change(bool on, const QString& message)
    {
        ++(on ? setUps : removals);
        present = on;
        return { true, message };
    }
};

// A fresh set of fakes in a platform that a test hands to the objects under test, and drives.
struct FakePlatform {
    std::unique_ptr<Platform> platform; // owns the fakes below; may be handed on (to the application object)
    FakeScreens* screens;
    FakeMouseDownMonitor* mouseDownMonitor;
    FakeFrontmostApplication* frontmostApplication;
    FakeAccessibility* accessibility;
    FakePasteboard* pasteboard;
    FakeKeyboard* keyboard;
    FakeGlobalHotkeys* globalHotkeys;
    FakeLoginItem* loginItem;
    FakeScreenCapture* screenCapture;
    FakeSecretStore* secrets;

    static FakePlatform make();
    Platform& operator*() const { return *platform; }
};
