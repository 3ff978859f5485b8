#include "settings/hotkeysettings.h"

#include "platform/globalhotkeys.h"
#include "settings/appsettings.h"

#include <QKeySequence>
#include <QProcess>
#include <QStandardPaths>

#include <cstdio>
#include <optional>
#include <utility>

const std::array<HotkeySettings::Command, 3> HotkeySettings::commands { {
    { 1, "Explain Selection", "explainSelection", "--explain-selection", QKeyCombination(Qt::AltModifier, Qt::Key_X) },
    { 2, "Explain Screen Region", "explainScreenRegion", "--explain-screenshot",
        QKeyCombination(Qt::AltModifier, Qt::Key_Z) },
    { 3, "Ask Anything", "askAnything", "--ask", QKeyCombination(Qt::AltModifier, Qt::Key_A) },
} };

namespace {

constexpr Qt::KeyboardModifiers chosenModifiers
    = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

// Keys by their position on a US keyboard, as X11 keycodes (evdev code + 8).
struct Position {
    Qt::Key key;
    quint32 keyCode;
};
constexpr Position positions[] = {
    { Qt::Key_1, 10 },
    { Qt::Key_2, 11 },
    { Qt::Key_3, 12 },
    { Qt::Key_4, 13 },
    { Qt::Key_5, 14 },
    { Qt::Key_6, 15 },
    { Qt::Key_7, 16 },
    { Qt::Key_8, 17 },
    { Qt::Key_9, 18 },
    { Qt::Key_0, 19 },
    { Qt::Key_Minus, 20 },
    { Qt::Key_Equal, 21 },
    { Qt::Key_Q, 24 },
    { Qt::Key_W, 25 },
    { Qt::Key_E, 26 },
    { Qt::Key_R, 27 },
    { Qt::Key_T, 28 },
    { Qt::Key_Y, 29 },
    { Qt::Key_U, 30 },
    { Qt::Key_I, 31 },
    { Qt::Key_O, 32 },
    { Qt::Key_P, 33 },
    { Qt::Key_BracketLeft, 34 },
    { Qt::Key_BracketRight, 35 },
    { Qt::Key_A, 38 },
    { Qt::Key_S, 39 },
    { Qt::Key_D, 40 },
    { Qt::Key_F, 41 },
    { Qt::Key_G, 42 },
    { Qt::Key_H, 43 },
    { Qt::Key_J, 44 },
    { Qt::Key_K, 45 },
    { Qt::Key_L, 46 },
    { Qt::Key_Semicolon, 47 },
    { Qt::Key_Apostrophe, 48 },
    { Qt::Key_QuoteLeft, 49 },
    { Qt::Key_Backslash, 51 },
    { Qt::Key_Z, 52 },
    { Qt::Key_X, 53 },
    { Qt::Key_C, 54 },
    { Qt::Key_V, 55 },
    { Qt::Key_B, 56 },
    { Qt::Key_N, 57 },
    { Qt::Key_M, 58 },
    { Qt::Key_Comma, 59 },
    { Qt::Key_Period, 60 },
    { Qt::Key_Slash, 61 },
    { Qt::Key_Space, 65 },
    { Qt::Key_F1, 67 },
    { Qt::Key_F2, 68 },
    { Qt::Key_F3, 69 },
    { Qt::Key_F4, 70 },
    { Qt::Key_F5, 71 },
    { Qt::Key_F6, 72 },
    { Qt::Key_F7, 73 },
    { Qt::Key_F8, 74 },
    { Qt::Key_F9, 75 },
    { Qt::Key_F10, 76 },
    { Qt::Key_F11, 95 },
    { Qt::Key_F12, 96 },
    { Qt::Key_Return, 36 },
    { Qt::Key_Tab, 23 },
    { Qt::Key_Print, 107 },
    { Qt::Key_Home, 110 },
    { Qt::Key_Up, 111 },
    { Qt::Key_PageUp, 112 },
    { Qt::Key_Left, 113 },
    { Qt::Key_Right, 114 },
    { Qt::Key_End, 115 },
    { Qt::Key_Down, 116 },
    { Qt::Key_PageDown, 117 },
    { Qt::Key_Insert, 118 },
    { Qt::Key_Delete, 119 },
};

// What the desktop keeps for itself: window switching and closing, the window menu, screenshots.
bool reservedByDesktop(QKeyCombination key)
{
    const Qt::Key k = key.key();
    const Qt::KeyboardModifiers m = key.keyboardModifiers();
    if (k == Qt::Key_Print)
        return true;
    if (m.testFlag(Qt::AltModifier) && (k == Qt::Key_Tab || k == Qt::Key_F4))
        return true;
    if (m == Qt::AltModifier && k == Qt::Key_Space)
        return true;
    if (m.testFlag(Qt::MetaModifier) && k == Qt::Key_Tab)
        return true;
    return m == (Qt::ControlModifier | Qt::AltModifier) && k == Qt::Key_Delete;
}

} // namespace

quint32 HotkeySettings::keyCode(Qt::Key key)
{
    for (const Position& position : positions) {
        if (position.key == key)
            return position.keyCode;
    }
    return 0;
}

QString HotkeySettings::displayText(QKeyCombination key)
{
    const Qt::KeyboardModifiers modifiers = key.keyboardModifiers();
    QString text;
    for (const auto& [modifier, name] : { std::pair { Qt::ControlModifier, "Ctrl+" }, { Qt::AltModifier, "Alt+" },
             { Qt::ShiftModifier, "Shift+" }, { Qt::MetaModifier, "Super+" } }) {
        if (modifiers & modifier)
            text += QLatin1String(name);
    }
    return text + QKeySequence(key.key()).toString(QKeySequence::PortableText);
}

std::optional<QKeyCombination> HotkeySettings::parse(const QString& text)
{
    if (text.size() > 64) // no key is named so long
        return std::nullopt;
    const QKeySequence sequence = QKeySequence::fromString(text.trimmed(), QKeySequence::PortableText);
    if (sequence.count() != 1)
        return std::nullopt;
    const QKeyCombination key = sequence[0];
    const Qt::KeyboardModifiers modifiers = key.keyboardModifiers();
    // Written by hand, perhaps: only what recording could have stored.
    if (keyCode(key.key()) == 0 || (modifiers & ~chosenModifiers) || !(modifiers & ~Qt::ShiftModifier)
        || reservedByDesktop(key))
        return std::nullopt;
    return key;
}

QKeyCombination HotkeySettings::storedKey(const AppSettings& settings, const Command& command)
{
    return parse(settings.hotkey(command.storeName)).value_or(command.defaultKey);
}

HotkeySettings::HotkeySettings(AppSettings& settings, Apply apply, bool desktopOwnsKeys, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_apply(std::move(apply))
    , m_desktopOwnsKeys(desktopOwnsKeys)
{
    reload();
}

void HotkeySettings::reload()
{
    for (std::size_t row = 0; row < commands.size(); ++row) {
        m_keys[row] = storedKey(m_settings, commands[row]);
        const QString stored = m_settings.hotkey(commands[row].storeName);
        m_notes[row].clear();
        if (!stored.isEmpty() && !parse(stored)) {
            m_notes[row] = QStringLiteral("The saved key “%1” is not readable; %2 is used.")
                               .arg(stored.left(40), displayText(m_keys[row]));
        }
    }
    m_recordingRow = -1;
    emit rowsChanged();
}

QVariantList HotkeySettings::rows() const
{
    QVariantList rows;
    for (std::size_t row = 0; row < commands.size(); ++row) {
        rows << QVariantMap {
            { QStringLiteral("name"), QString::fromLatin1(commands[row].name) },
            { QStringLiteral("key"), keyText(int(row)) },
            { QStringLiteral("note"), noteOf(int(row)) },
            { QStringLiteral("recording"), m_recordingRow == int(row) },
        };
    }
    return rows;
}

void HotkeySettings::startRecording(int row)
{
    if (m_desktopOwnsKeys || row < 0 || row >= int(commands.size()))
        return;
    m_recordingRow = row;
    m_notes[row].clear();
    emit rowsChanged();
}

void HotkeySettings::cancelRecording()
{
    if (m_recordingRow < 0)
        return;
    m_recordingRow = -1;
    emit rowsChanged();
}

bool HotkeySettings::keyPressed(int key, int modifiers, quint32 nativeScanCode)
{
    const int row = m_recordingRow;
    if (row < 0)
        return false;
    const auto pressed = Qt::Key(key);
    const Qt::KeyboardModifiers held = Qt::KeyboardModifiers(modifiers) & chosenModifiers;
    switch (pressed) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true; // the rest of the combination is still to come
    default:
        break;
    }
    if (held == Qt::NoModifier && pressed == Qt::Key_Escape) {
        cancelRecording();
        return true;
    }
    if (held == Qt::NoModifier && pressed == Qt::Key_Backspace) {
        choose(row, commands[row].defaultKey);
        return true;
    }
    // The key by its position: Shift+1 is Shift and the key of 1, whatever it types; a French A key is Q's.
    Qt::Key position = Qt::Key_unknown;
    for (const Position& candidate : positions) {
        if (nativeScanCode != 0 && candidate.keyCode == nativeScanCode)
            position = candidate.key;
    }
    if (position == Qt::Key_unknown && nativeScanCode == 0 && keyCode(pressed) != 0)
        position = pressed;
    if (position == Qt::Key_unknown) {
        m_notes[row] = QStringLiteral("This key cannot be a shortcut; try a letter, a digit or F1 to F12.");
        emit rowsChanged();
        return true;
    }
    record(row, QKeyCombination(held, position));
    return true;
}

bool HotkeySettings::takeGlobalKey(quint32 id)
{
    if (m_recordingRow < 0)
        return false;
    for (std::size_t row = 0; row < commands.size(); ++row) {
        if (commands[row].id == id)
            record(m_recordingRow, m_keys[row]);
    }
    return true;
}

void HotkeySettings::record(int row, QKeyCombination key)
{
    if (const QString why = refusal(row, key); !why.isEmpty()) {
        m_notes[row] = why; // still recording: the next key may do
        emit rowsChanged();
        return;
    }
    choose(row, key);
}

QString HotkeySettings::refusal(int row, QKeyCombination key) const
{
    if (!(key.keyboardModifiers() & ~Qt::ShiftModifier))
        return QStringLiteral("Add Ctrl, Alt or Super to the key.");
    if (reservedByDesktop(key))
        return QStringLiteral("%1 is kept by the desktop.").arg(displayText(key));
    for (std::size_t other = 0; other < commands.size(); ++other) {
        if (int(other) != row && m_keys[other] == key)
            return QStringLiteral("%1 is already %2.").arg(displayText(key), QString::fromLatin1(commands[other].name));
    }
    return {};
}

namespace {

QString notTakenNote(const QString& key, int status)
{
    return status == GlobalHotkeys::heldElsewhereStatus ? QStringLiteral("%1 is used by another program.").arg(key)
                                                        : QStringLiteral("%1 could not be taken.").arg(key);
}

} // namespace

void HotkeySettings::choose(int row, QKeyCombination key)
{
    const Command& command = commands[row];
    m_recordingRow = -1;
    m_notes[row].clear();
    if ((key != m_keys[row] || m_notTakenStatus[row] != 0) && m_apply) {
        const int status = m_apply(command.id, keyCode(key.key()), key.keyboardModifiers());
        if (status != 0) {
            m_notes[row] = notTakenNote(displayText(key), status);
            emit rowsChanged();
            return;
        }
        m_notTakenStatus[row] = 0;
    }
    m_keys[row] = key;
    m_settings.setHotkey(command.storeName,
        key == command.defaultKey ? QString() : QKeySequence(key).toString(QKeySequence::PortableText));
    emit rowsChanged();
}

void HotkeySettings::restoreDefaults()
{
    m_recordingRow = -1;
    // In any order, swapped keys included: every default is free or held by Quillora itself, and the global keys
    // keep a key grabbed while any command still has it.
    for (std::size_t row = 0; row < commands.size(); ++row) {
        if (m_keys[row] != commands[row].defaultKey)
            choose(int(row), commands[row].defaultKey);
    }
    emit rowsChanged();
}

QStringList HotkeySettings::desktopSettingsCommand()
{
    const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    QStringList command;
    if (desktop.contains(QLatin1String("GNOME"), Qt::CaseInsensitive))
        command = { QStringLiteral("gnome-control-center"), QStringLiteral("keyboard") };
    else if (desktop.contains(QLatin1String("KDE"), Qt::CaseInsensitive))
        command = { QStringLiteral("systemsettings"), QStringLiteral("kcm_keys") };
    if (command.isEmpty() || QStandardPaths::findExecutable(command.first()).isEmpty())
        return {};
    return command;
}

void HotkeySettings::openDesktopSettings()
{
    const QStringList command = desktopSettingsCommand();
    if (command.isEmpty())
        return;
    if (!QProcess::startDetached(command.first(), command.mid(1))) {
        std::printf("[Settings] could not start %s\n", qPrintable(command.first()));
        std::fflush(stdout);
    }
}

QString HotkeySettings::keyText(int row) const
{
    if (m_desktopOwnsKeys && m_desktopKeys.at(row))
        return m_desktopKeys.at(row)->isEmpty() ? QStringLiteral("None") : *m_desktopKeys.at(row);
    return displayText(m_keys.at(row));
}

QString HotkeySettings::noteOf(int row) const
{
    if (!m_notes.at(row).isEmpty())
        return m_notes.at(row);
    if (m_desktopOwnsKeys && m_desktopKeys.at(row) && m_desktopKeys.at(row)->isEmpty())
        return QStringLiteral("The desktop gave this command no key; another program may have it.");
    if (m_notTakenStatus.at(row) != 0)
        return notTakenNote(displayText(m_keys.at(row)), m_notTakenStatus.at(row))
            + QStringLiteral(" Choose another key.");
    return {};
}

void HotkeySettings::keyNotTaken(quint32 id, int status)
{
    for (std::size_t row = 0; row < commands.size(); ++row) {
        if (commands[row].id == id && status != GlobalHotkeys::unavailableStatus) {
            m_notTakenStatus[row] = status;
            emit rowsChanged();
        }
    }
}

void HotkeySettings::showDesktopKey(quint32 id, std::optional<QString> words)
{
    for (std::size_t row = 0; row < commands.size(); ++row) {
        if (commands[row].id == id && m_desktopKeys[row] != words) {
            m_desktopKeys[row] = std::move(words);
            emit rowsChanged();
            return;
        }
    }
}

void HotkeySettings::showDesktopKeys(const std::optional<QMap<QString, QString>>& byOption)
{
    for (const Command& command : commands) {
        const QString option = QString::fromLatin1(command.option);
        showDesktopKey(command.id, byOption ? std::optional(byOption->value(option)) : std::nullopt);
    }
}
