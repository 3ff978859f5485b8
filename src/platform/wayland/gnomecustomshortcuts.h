#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// GNOME's own keyboard shortcuts that run a command line (Settings, Keyboard, Custom Shortcuts), written for
// Quillora's keys with the user's consent where GNOME gives programs no global keys of their own (before 48).
// Each shortcut is an object path in media-keys' `custom-keybindings` list; under that path the relocatable
// custom-keybinding schema holds its name, command and binding, and gsd-media-keys runs the command when the
// binding is pressed.
//
// Quillora's entries are recognised by their command line (a program called quillora with our option), never by
// their path or name: the user may rename them, change their key or move the program, and they stay ours. Other
// entries and other keys are never changed. A key that GNOME already gives to something else is not taken.
//
// Every call blocks: it reads the settings, writes them and waits for the write to reach the store (dconf). Call
// it on a worker thread. Each call runs under a GLib main context of its own, pushed as the thread's default for
// the call's length, so nothing it makes attaches to GLib's global default context (the AT-SPI thread's).
class GnomeCustomShortcuts {
public:
    struct Shortcut {
        QString name; // what GNOME's settings list it as
        QString binding; // GTK accelerator syntax: "<Alt>x"
        QString program; // the command line is program plus option, quoted as a shell would read it
        QString option; // "--explain-selection"
    };

    struct Report {
        enum class Status {
            Done, // what could be done was done; see added, present and taken
            Unavailable, // no GNOME settings schemas: not GNOME, or its settings daemon is not installed
            Refused, // the user's list is not one we can safely change; nothing was written
            Failed, // the settings could not be written (locked down); nothing of ours is left half-written
        };
        Status status = Status::Done;
        QStringList changed; // the names written now (setUp) or taken out now (remove)
        QStringList present; // ours that were there already, perhaps with a key the user chose
        QStringList taken; // "Alt+Z is used by “Minimize window”"
        QString message; // one line for the user, empty when there is nothing to say
    };

    static constexpr auto listSchemaId = "org.gnome.settings-daemon.plugins.media-keys";
    static constexpr auto listKey = "custom-keybindings";
    static constexpr auto entrySchemaId = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
    static constexpr auto entryFolder = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";
    // A list kept by hand has a few dozen entries at most; beyond this it is not one we know how to keep.
    static constexpr int maximumEntries = 100;

    // schemaDirectory: where compiled schemas are read from; empty for the system's (tests point elsewhere).
    explicit GnomeCustomShortcuts(QList<Shortcut> shortcuts, QString schemaDirectory = {});

    // Appends the shortcuts that are not in the list yet and whose keys are free.
    Report setUp() const;
    // Takes exactly Quillora's entries out of the list and clears what they held.
    Report remove() const;
    // The shortcuts in the list now, by option, each with its key as people write it ("Alt+X"; empty where the
    // user took the key away); nothing when the settings cannot be read (see setUp's statuses).
    std::optional<QMap<QString, QString>> keysPresent() const;

    // The command line of a shortcut, as written to its entry.
    static QString commandOf(const Shortcut& shortcut);
    // "<Alt>x" as people write it: "Alt+X".
    static QString readableBinding(const QString& binding);

private:
    QList<Shortcut> m_shortcuts;
    QString m_schemaDirectory;
};
