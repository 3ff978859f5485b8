#pragma once

#include <QDateTime>
#include <QObject>
#include <QSettings>
#include <QString>

// The user's settings, kept in $XDG_CONFIG_HOME/Quillora/Quillora.conf. One instance per process.
class AppSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(
        QString customSystemPrompt READ customSystemPrompt WRITE setCustomSystemPrompt NOTIFY customSystemPromptChanged)
    Q_PROPERTY(QString userId READ userId CONSTANT)
    Q_PROPERTY(bool cannotSave READ cannotSave NOTIFY cannotSaveChanged)

public:
    static constexpr auto customSystemPromptKey = "customSystemPrompt";
    static constexpr auto userIdKey = "userId";
    static constexpr auto hasRegisteredLoginItemKey = "hasRegisteredLoginItem";
    static constexpr auto hasCompletedOnboardingKey = "hasCompletedOnboarding";
    static constexpr auto hasToldOfNoTrayKey = "hasToldOfNoTray";
    static constexpr auto serviceURLKey = "serviceURL";
    static constexpr auto serviceTokenKey = "serviceToken";
    static constexpr auto lastUpdateCheckKey = "lastUpdateCheck";

    // Opens the store at the given INI file; the program uses defaultFileName().
    explicit AppSettings(const QString& fileName, QObject* parent = nullptr);

    QString customSystemPrompt() const { return m_customSystemPrompt; }
    void setCustomSystemPrompt(const QString& prompt);

    // Never empty, never changes for the life of the process; safe to read from any thread.
    QString userId() const { return m_userId; }

    bool hasRegisteredLoginItem() const;
    void setHasRegisteredLoginItem(bool registered);
    bool hasCompletedOnboarding() const;
    void setHasCompletedOnboarding(bool completed);
    // Whether the user was told that this desktop shows no tray icon, and where Quillora's commands are instead.
    bool hasToldOfNoTray() const;
    void setHasToldOfNoTray(bool told);

    // The user's explanation service and its token; empty means the values built into the program.
    QString serviceURL() const;
    QString serviceToken() const;
    // Empty removes the setting. A token is kept here only where no keyring answers (ServiceSettings).
    void setServiceURL(const QString& url);
    void setServiceToken(const QString& token);
    // Makes the file readable by the user alone, as it is whenever it holds a token.
    void keepToUser();
    // When the update feed was last read automatically; invalid when never.
    QDateTime lastUpdateCheck() const;
    void setLastUpdateCheck(const QDateTime& when);

    // A command's key as the user chose it ("Alt+X"), under "hotkeys/<name>"; empty when never chosen.
    QString hotkey(const char* name) const;
    // Empty removes the setting.
    void setHotkey(const char* name, const QString& portableText);

    // A write reached no disk (read-only or missing folder, full disk). Stays set once seen, so the user is
    // told once rather than on every keystroke; every later change is still tried.
    bool cannotSave() const { return m_cannotSave; }
    QString fileName() const { return m_store.fileName(); }

    static QString defaultFileName();

signals:
    void customSystemPromptChanged();
    void cannotSaveChanged();

private:
    void writeNow(const char* key, const QVariant& value);

    QSettings m_store;
    QString m_customSystemPrompt;
    QString m_userId;
    bool m_cannotSave = false;
};
