#pragma once

#include "platform/loginitem.h"

#include <QString>

// Start at login through an XDG autostart entry, $XDG_CONFIG_HOME/autostart/<app id>.desktop, which every
// desktop that follows the freedesktop.org autostart rules reads. Only an installed program registers: one
// that runs from a build folder or a temporary path would leave an entry behind that points at nothing
// once that folder is gone. Installed means a desktop entry of ours lies in ../share/applications beside
// the program, where `cmake --install` puts both.
class XdgAutostartLoginItem final : public LoginItem {
public:
    static inline const QString appId = QStringLiteral("org.quillora.Quillora");

    // Empty arguments stand for this process: its program, $XDG_CONFIG_HOME and the system's temporary folder.
    explicit XdgAutostartLoginItem(
        const QString& program = {}, const QString& configHome = {}, const QString& temporaryRoot = {});

    Status status() const override;
    bool registerItem() override;
    bool unregisterItem() override;

    QString entryPath() const;
    // Whether the program is an installed Quillora, the only kind that may start at login.
    bool isInstalledProgram() const;
    // The program's path, its symbolic links resolved (empty when it does not exist).
    QString program() const;

    // The program as the Exec key's string: quoted where the desktop entry rules ask for it. Writing it
    // into the file escapes it once more as a string (GKeyFile does that).
    static QString execArgument(const QString& program);

private:
    QString m_program;
    QString m_configHome;
    QString m_temporaryRoot;
};
