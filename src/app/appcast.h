#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <optional>

// A version number as releases are named: numeric parts compared as numbers (1.10 > 1.9, 1.2 == 1.2.0),
// an optional pre-release suffix below the release ("1.2-beta1" < "1.2"), build metadata after '+' ignored.
class VersionNumber {
public:
    // Absent when the text is not a version number (or has absurdly many or long parts).
    static std::optional<VersionNumber> parse(const QString& text);

    // <0, 0, >0 as this is older than, the same as or newer than other.
    int compare(const VersionNumber& other) const;
    bool operator<(const VersionNumber& other) const { return compare(other) < 0; }
    bool operator==(const VersionNumber& other) const { return compare(other) == 0; }

private:
    QVersionNumber m_number; // normalized: no trailing zeros
    QString m_preRelease; // empty for a release
};

// One release in an appcast feed (RSS 2.0 items with the update framework's version elements).
struct AppcastItem {
    QString version; // compared with the running program's version
    QString shortVersionString; // shown to the user; the version when the feed has none
    QUrl releaseNotesLink;
    QUrl downloadLink; // the enclosure, else the item's link
};

namespace Appcast {

// The newest item whose version parses, or a user-readable reason why there is none.
struct ParseResult {
    std::optional<AppcastItem> newest;
    QString problem;
};
ParseResult parse(const QByteArray& xml);

} // namespace Appcast
