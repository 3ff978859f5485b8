#pragma once

#include <QKeyCombination>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantList>

#include <array>
#include <functional>
#include <optional>

class AppSettings;

// The keys of Quillora's three commands, as the user chose them in the settings window. A key is kept in the
// settings store as its portable text ("Alt+X", "Ctrl+Meta+E"); absent means the command's default. Keys are
// physical positions, named as on a US keyboard: the key pressed while recording is read by its position
// (its X11 keycode), so "Alt+A" is the key where A is on a US keyboard under every layout, as the defaults are.
// A new key is applied at once; where it cannot be taken the command keeps its key and the row says why.
// Main thread only.
class HotkeySettings : public QObject {
    Q_OBJECT
    // Per command: name, key (as shown), note (why a key was refused, or that the stored one was unreadable),
    // recording (whether the next key pressed is the row's new key).
    Q_PROPERTY(QVariantList rows READ rows NOTIFY rowsChanged)
    Q_PROPERTY(bool recording READ recording NOTIFY rowsChanged)
    Q_PROPERTY(bool desktopOwnsKeys READ desktopOwnsKeys CONSTANT)
    Q_PROPERTY(bool desktopSettingsAvailable READ desktopSettingsAvailable CONSTANT)

public:
    struct Command {
        quint32 id; // the id registered with HotkeyManager
        const char* name;
        const char* storeName; // the store's key, under "hotkeys/"
        const char* option; // the command line's option for it
        QKeyCombination defaultKey;
    };
    static const std::array<Command, 3> commands;

    // Takes the key of command `id`: registerHotkey's status (0 when the key is in force).
    using Apply = std::function<int(quint32 id, quint32 keyCode, Qt::KeyboardModifiers modifiers)>;

    // apply may be empty where the desktop owns the keys; then keys are only shown.
    HotkeySettings(AppSettings& settings, Apply apply, bool desktopOwnsKeys, QObject* parent = nullptr);

    // The key of a command as the store has it: its default when absent or unreadable.
    static QKeyCombination storedKey(const AppSettings& settings, const Command& command);
    // The physical position of a key as an X11 keycode (evdev code + 8) on a US keyboard; 0 for keys
    // that cannot be a hot key.
    static quint32 keyCode(Qt::Key key);
    // "Alt+X", "Ctrl+Super+E".
    static QString displayText(QKeyCombination key);

    QVariantList rows() const;
    bool recording() const { return m_recordingRow >= 0; }
    bool desktopOwnsKeys() const { return m_desktopOwnsKeys; }
    bool desktopSettingsAvailable() const { return !desktopSettingsCommand().isEmpty(); }
    QKeyCombination key(int row) const { return m_keys.at(row); }
    // The key as the row and the tray menu show it: where the desktop owns the keys, the key it bound.
    QString keyText(int row) const;
    QString note(int row) const { return m_notes.at(row); }

    // The command's key could not be taken when Quillora started (registerHotkey's status): the row says so until
    // a key is taken for it, and recording the same key again tries it again.
    void keyNotTaken(quint32 id, int status);
    // The key the desktop bound to the command, in its own words (empty: it bound none); nothing while unknown.
    void showDesktopKey(quint32 id, std::optional<QString> words);
    // The same for all three, from keys the desktop runs a command line for, by option; nothing: not known.
    void showDesktopKeys(const std::optional<QMap<QString, QString>>& byOption);

    // The next key pressed becomes the row's key (not where the desktop owns the keys).
    Q_INVOKABLE void startRecording(int row);
    Q_INVOKABLE void cancelRecording();
    // A key pressed while recording: Escape cancels, Backspace restores the row's default, a modifier alone
    // waits for the rest; anything else is taken or refused with a sentence in the row. nativeScanCode is the
    // X11 keycode Qt reports (0 when unknown). Returns whether the key was used.
    Q_INVOKABLE bool keyPressed(int key, int modifiers, quint32 nativeScanCode);
    // A key of ours pressed while recording: the global grab has it, so the window never sees it. Taken as
    // that command's key pressed here; returns whether it was used so.
    bool takeGlobalKey(quint32 id);
    Q_INVOKABLE void restoreDefaults();
    // Opens the desktop's keyboard shortcut settings, detached, where that program is installed.
    Q_INVOKABLE void openDesktopSettings();
    // Reads the store again and forgets the notes, as each time the window opens.
    void reload();

signals:
    void rowsChanged();

private:
    static std::optional<QKeyCombination> parse(const QString& text);
    static QStringList desktopSettingsCommand();
    QString refusal(int row, QKeyCombination key) const;
    QString noteOf(int row) const;
    void record(int row, QKeyCombination key);
    void choose(int row, QKeyCombination key);

    AppSettings& m_settings;
    Apply m_apply;
    bool m_desktopOwnsKeys;
    std::array<QKeyCombination, 3> m_keys;
    std::array<QString, 3> m_notes;
    std::array<int, 3> m_notTakenStatus {}; // registerHotkey's status of the key not in force, 0 when it is
    std::array<std::optional<QString>, 3> m_desktopKeys;
    int m_recordingRow = -1;
};
