#include "capture/appcontext.h"

#include "platform/frontmostapplication.h"

#include <QLatin1StringView>

#include <array>

namespace AppContextCapture {
namespace {

enum class Match { Exact, Prefix };

struct CategoryRow {
    QLatin1StringView id;
    Match match;
    QLatin1StringView category;
};

using namespace Qt::StringLiterals;

constexpr auto browser = "browser"_L1;
constexpr auto pdfReader = "pdf_reader"_L1;
constexpr auto codeEditor = "code_editor"_L1;
constexpr auto terminal = "terminal"_L1;
constexpr auto documentEditor = "document_editor"_L1;
constexpr auto presentation = "presentation"_L1;
constexpr auto communication = "communication"_L1;

// The macOS bundle identifiers come first, as the service knows them; Linux ids follow in the same
// categories (desktop-file ids, Flatpak ids and WM_CLASS names of the common applications).
constexpr std::array categoryTable {
    CategoryRow { "com.apple.Safari"_L1, Match::Prefix, browser },
    CategoryRow { "com.google.Chrome"_L1, Match::Prefix, browser },
    CategoryRow { "org.mozilla.firefox"_L1, Match::Prefix, browser },
    CategoryRow { "com.microsoft.edgemac"_L1, Match::Prefix, browser },
    CategoryRow { "com.brave.Browser"_L1, Match::Prefix, browser },
    CategoryRow { "com.operasoftware"_L1, Match::Prefix, browser },
    CategoryRow { "com.apple.Preview"_L1, Match::Exact, pdfReader },
    CategoryRow { "com.readdle.PDFExpert"_L1, Match::Exact, pdfReader },
    CategoryRow { "net.sourceforge.skim"_L1, Match::Prefix, pdfReader },
    CategoryRow { "com.adobe.Acrobat.Pro"_L1, Match::Exact, pdfReader },
    CategoryRow { "com.apple.dt.Xcode"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.microsoft.VSCode"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.jetbrains."_L1, Match::Prefix, codeEditor },
    CategoryRow { "com.sublimetext."_L1, Match::Prefix, codeEditor },
    CategoryRow { "com.panic.Nova"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.coteditor.CotEditor"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.apple.Terminal"_L1, Match::Exact, terminal },
    CategoryRow { "com.googlecode.iterm2"_L1, Match::Exact, terminal },
    CategoryRow { "dev.warp.desktop"_L1, Match::Exact, terminal },
    CategoryRow { "com.github.wez.wezterm"_L1, Match::Exact, terminal },
    CategoryRow { "com.microsoft.Word"_L1, Match::Exact, documentEditor },
    CategoryRow { "com.apple.TextEdit"_L1, Match::Exact, documentEditor },
    CategoryRow { "com.apple.Pages"_L1, Match::Exact, documentEditor },
    CategoryRow { "md.obsidian"_L1, Match::Exact, documentEditor },
    CategoryRow { "com.notion.id"_L1, Match::Exact, documentEditor },
    CategoryRow { "com.apple.Keynote"_L1, Match::Exact, presentation },
    CategoryRow { "com.microsoft.Powerpoint"_L1, Match::Exact, presentation },
    CategoryRow { "com.apple.mail"_L1, Match::Exact, communication },
    CategoryRow { "com.microsoft.Outlook"_L1, Match::Exact, communication },
    CategoryRow { "ru.keepcoder.Telegram"_L1, Match::Exact, communication },
    CategoryRow { "com.tinyspeck.slackmacgap"_L1, Match::Exact, communication },

    // Linux browsers
    CategoryRow { "firefox"_L1, Match::Prefix, browser }, // firefox, firefox-esr
    CategoryRow { "org.mozilla.Firefox"_L1, Match::Exact, browser },
    CategoryRow { "chromium"_L1, Match::Prefix, browser }, // chromium, chromium-browser
    CategoryRow { "org.chromium.Chromium"_L1, Match::Exact, browser },
    CategoryRow { "google-chrome"_L1, Match::Prefix, browser },
    CategoryRow { "brave-browser"_L1, Match::Prefix, browser },
    CategoryRow { "microsoft-edge"_L1, Match::Prefix, browser },
    CategoryRow { "com.microsoft.Edge"_L1, Match::Exact, browser },
    CategoryRow { "org.gnome.Epiphany"_L1, Match::Exact, browser },
    CategoryRow { "vivaldi"_L1, Match::Prefix, browser },
    CategoryRow { "librewolf"_L1, Match::Exact, browser },
    CategoryRow { "io.gitlab.librewolf-community"_L1, Match::Exact, browser },
    CategoryRow { "org.qutebrowser.qutebrowser"_L1, Match::Exact, browser },
    CategoryRow { "org.kde.falkon"_L1, Match::Exact, browser },

    // Linux document viewers
    CategoryRow { "org.gnome.Evince"_L1, Match::Exact, pdfReader },
    CategoryRow { "evince"_L1, Match::Exact, pdfReader },
    CategoryRow { "org.gnome.Papers"_L1, Match::Exact, pdfReader },
    CategoryRow { "org.kde.okular"_L1, Match::Exact, pdfReader },
    CategoryRow { "okular"_L1, Match::Exact, pdfReader },
    CategoryRow { "org.pwmt.zathura"_L1, Match::Exact, pdfReader },
    CategoryRow { "zathura"_L1, Match::Exact, pdfReader },
    CategoryRow { "atril"_L1, Match::Exact, pdfReader },
    CategoryRow { "xreader"_L1, Match::Exact, pdfReader },
    CategoryRow { "qpdfview"_L1, Match::Exact, pdfReader },
    CategoryRow { "mupdf"_L1, Match::Exact, pdfReader },

    // Linux code editors
    CategoryRow { "code"_L1, Match::Exact, codeEditor },
    CategoryRow { "code-oss"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.visualstudio.code"_L1, Match::Exact, codeEditor },
    CategoryRow { "codium"_L1, Match::Exact, codeEditor },
    CategoryRow { "com.vscodium.codium"_L1, Match::Exact, codeEditor },
    CategoryRow { "org.kde.kate"_L1, Match::Exact, codeEditor },
    CategoryRow { "kate"_L1, Match::Exact, codeEditor },
    CategoryRow { "org.kde.kwrite"_L1, Match::Exact, codeEditor },
    CategoryRow { "org.gnome.gedit"_L1, Match::Exact, codeEditor },
    CategoryRow { "org.gnome.TextEditor"_L1, Match::Exact, codeEditor },
    CategoryRow { "sublime_text"_L1, Match::Exact, codeEditor },
    CategoryRow { "jetbrains-"_L1, Match::Prefix, codeEditor },
    CategoryRow { "emacs"_L1, Match::Exact, codeEditor },
    CategoryRow { "gvim"_L1, Match::Exact, codeEditor },
    CategoryRow { "org.geany.Geany"_L1, Match::Exact, codeEditor },
    CategoryRow { "geany"_L1, Match::Exact, codeEditor },
    CategoryRow { "dev.zed.Zed"_L1, Match::Exact, codeEditor },

    // Linux terminal emulators
    CategoryRow { "org.gnome.Terminal"_L1, Match::Exact, terminal },
    CategoryRow { "gnome-terminal-server"_L1, Match::Exact, terminal },
    CategoryRow { "org.gnome.Console"_L1, Match::Exact, terminal },
    CategoryRow { "org.kde.konsole"_L1, Match::Exact, terminal },
    CategoryRow { "konsole"_L1, Match::Exact, terminal },
    CategoryRow { "xterm"_L1, Match::Exact, terminal },
    CategoryRow { "XTerm"_L1, Match::Exact, terminal },
    CategoryRow { "debian-xterm"_L1, Match::Exact, terminal },
    CategoryRow { "UXTerm"_L1, Match::Exact, terminal },
    CategoryRow { "debian-uxterm"_L1, Match::Exact, terminal },
    CategoryRow { "URxvt"_L1, Match::Exact, terminal },
    CategoryRow { "kitty"_L1, Match::Exact, terminal },
    CategoryRow { "Alacritty"_L1, Match::Exact, terminal },
    CategoryRow { "org.alacritty.Alacritty"_L1, Match::Exact, terminal },
    CategoryRow { "org.wezfurlong.wezterm"_L1, Match::Exact, terminal },
    CategoryRow { "com.mitchellh.ghostty"_L1, Match::Exact, terminal },
    CategoryRow { "xfce4-terminal"_L1, Match::Exact, terminal },
    CategoryRow { "com.gexperts.Tilix"_L1, Match::Exact, terminal },
    CategoryRow { "terminator"_L1, Match::Exact, terminal },
    CategoryRow { "foot"_L1, Match::Exact, terminal },

    // Linux document editors
    CategoryRow { "libreoffice-writer"_L1, Match::Exact, documentEditor },
    CategoryRow { "org.libreoffice.LibreOffice.writer"_L1, Match::Exact, documentEditor },
    CategoryRow { "abiword"_L1, Match::Exact, documentEditor },
    CategoryRow { "org.kde.calligrawords"_L1, Match::Exact, documentEditor },
    CategoryRow { "md.obsidian.Obsidian"_L1, Match::Exact, documentEditor },
    CategoryRow { "obsidian"_L1, Match::Exact, documentEditor },
    CategoryRow { "org.onlyoffice.desktopeditors"_L1, Match::Exact, documentEditor },

    // Linux presentation programs
    CategoryRow { "libreoffice-impress"_L1, Match::Exact, presentation },
    CategoryRow { "org.libreoffice.LibreOffice.impress"_L1, Match::Exact, presentation },
    CategoryRow { "org.kde.calligrastage"_L1, Match::Exact, presentation },

    // Linux mail and chat
    CategoryRow { "thunderbird"_L1, Match::Exact, communication },
    CategoryRow { "org.mozilla.Thunderbird"_L1, Match::Exact, communication },
    CategoryRow { "org.gnome.Evolution"_L1, Match::Exact, communication },
    CategoryRow { "org.kde.kmail2"_L1, Match::Exact, communication },
    CategoryRow { "org.telegram.desktop"_L1, Match::Exact, communication },
    CategoryRow { "TelegramDesktop"_L1, Match::Exact, communication },
    CategoryRow { "com.slack.Slack"_L1, Match::Exact, communication },
    CategoryRow { "slack"_L1, Match::Exact, communication },
    CategoryRow { "com.discordapp.Discord"_L1, Match::Exact, communication },
    CategoryRow { "discord"_L1, Match::Exact, communication },
    CategoryRow { "org.signal.Signal"_L1, Match::Exact, communication },
    CategoryRow { "signal"_L1, Match::Exact, communication },
    CategoryRow { "im.riot.Riot"_L1, Match::Exact, communication },
};

} // namespace

QString category(const QString& bundleID)
{
    for (const CategoryRow& row : categoryTable) {
        const bool matches = row.match == Match::Exact ? bundleID == row.id : bundleID.startsWith(row.id);
        if (matches)
            return row.category;
    }
    return QStringLiteral("general");
}

std::optional<AppContext> contextOf(const std::optional<FrontmostAppInfo>& app)
{
    if (!app)
        return std::nullopt;
    AppContext context;
    context.bundleID = app->appId;
    context.appName = app->displayName.isEmpty() ? QStringLiteral("Unknown") : app->displayName;
    context.appCategory = category(app->appId);
    if (app->windowTitle && !app->windowTitle->isEmpty())
        context.windowTitle = app->windowTitle;
    return context;
}

bool hasNoCopyShortcut(const QString& bundleID)
{
    static const QStringList plainTerminals { QStringLiteral("xterm"), QStringLiteral("XTerm"),
        QStringLiteral("debian-xterm"), QStringLiteral("UXTerm"), QStringLiteral("debian-uxterm"),
        QStringLiteral("URxvt"), QStringLiteral("st-256color") };
    return plainTerminals.contains(bundleID);
}

} // namespace AppContextCapture
