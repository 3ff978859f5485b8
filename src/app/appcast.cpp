#include "app/appcast.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

std::optional<VersionNumber> VersionNumber::parse(const QString& text)
{
    // "v1.2.3", "1.2", "1.2-beta.1", "1.2rc2", "1.2.0+git5".
    static const QRegularExpression pattern(QStringLiteral(
        R"(^[vV]?(\d{1,9}(?:\.\d{1,9}){0,7})(?:[-~]?([A-Za-z][0-9A-Za-z.-]{0,63}|\d{1,9}[A-Za-z][0-9A-Za-z.-]{0,62}))?(?:\+[0-9A-Za-z.-]{0,64})?$)"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    VersionNumber version;
    version.m_number = QVersionNumber::fromString(match.capturedView(1)).normalized(); // 1.2.0 is 1.2
    version.m_preRelease = match.captured(2).toLower();
    return version;
}

namespace {

// Pre-release labels compared piece by piece, digits as numbers: beta2 < beta10 < rc1.
int comparePreRelease(const QString& a, const QString& b)
{
    static const QRegularExpression pieces(QStringLiteral(R"(\d+|[a-z]+)"));
    auto left = pieces.globalMatch(a);
    auto right = pieces.globalMatch(b);
    while (left.hasNext() && right.hasNext()) {
        const QString l = left.next().captured();
        const QString r = right.next().captured();
        const bool lNumber = l.front().isDigit();
        const bool rNumber = r.front().isDigit();
        if (lNumber && rNumber) {
            if (l.size() != r.size())
                return l.size() < r.size() ? -1 : 1; // no leading zeros matter here: longer is larger
            if (l != r)
                return l < r ? -1 : 1;
        } else if (lNumber != rNumber) {
            return lNumber ? -1 : 1;
        } else if (l != r) {
            return l < r ? -1 : 1;
        }
    }
    return left.hasNext() ? 1 : right.hasNext() ? -1 : 0;
}

} // namespace

int VersionNumber::compare(const VersionNumber& other) const
{
    if (const int numbers = QVersionNumber::compare(m_number, other.m_number); numbers != 0)
        return numbers;
    if (m_preRelease.isEmpty() || other.m_preRelease.isEmpty())
        return m_preRelease.isEmpty() - other.m_preRelease.isEmpty(); // a release is above its pre-releases
    return comparePreRelease(m_preRelease, other.m_preRelease);
}

namespace Appcast {

namespace {

// Only http(s) links are ever opened for the user.
QUrl webLink(QStringView text)
{
    const QUrl url(text.trimmed().toString(), QUrl::StrictMode);
    const bool web = url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"))
        && !url.host().isEmpty();
    return web ? url : QUrl();
}

constexpr auto sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// One <item>, from just inside it to its end.
AppcastItem readItem(QXmlStreamReader& reader)
{
    AppcastItem item;
    QUrl link;
    while (reader.readNextStartElement()) {
        const bool sparkle = reader.namespaceUri() == QLatin1String(sparkleNamespace);
        const QStringView name = reader.name();
        if (name == QLatin1String("enclosure") && reader.namespaceUri().isEmpty()) {
            const QXmlStreamAttributes attributes = reader.attributes();
            item.downloadLink = webLink(attributes.value(QLatin1String("url")));
            if (item.version.isEmpty())
                item.version = attributes.value(QLatin1String(sparkleNamespace), QLatin1String("version")).toString();
            if (item.shortVersionString.isEmpty())
                item.shortVersionString
                    = attributes.value(QLatin1String(sparkleNamespace), QLatin1String("shortVersionString")).toString();
            reader.skipCurrentElement();
        } else if (sparkle && name == QLatin1String("version")) {
            item.version = reader.readElementText(QXmlStreamReader::SkipChildElements);
        } else if (sparkle && name == QLatin1String("shortVersionString")) {
            item.shortVersionString = reader.readElementText(QXmlStreamReader::SkipChildElements);
        } else if (sparkle && name == QLatin1String("releaseNotesLink")) {
            item.releaseNotesLink = webLink(reader.readElementText(QXmlStreamReader::SkipChildElements));
        } else if (name == QLatin1String("link") && reader.namespaceUri().isEmpty()) {
            link = webLink(reader.readElementText(QXmlStreamReader::SkipChildElements));
        } else {
            reader.skipCurrentElement();
        }
    }
    if (item.downloadLink.isEmpty())
        item.downloadLink = link;
    return item;
}

} // namespace

ParseResult parse(const QByteArray& xml)
{
    if (xml.trimmed().isEmpty())
        return { std::nullopt, QStringLiteral("The update feed is empty.") };
    QXmlStreamReader reader(xml);
    ParseResult result;
    std::optional<VersionNumber> newestVersion;
    int items = 0;
    bool sawRss = false;
    while (reader.readNextStartElement()) {
        if (!sawRss) {
            if (reader.name() != QLatin1String("rss"))
                return { std::nullopt, QStringLiteral("The update feed is not an RSS feed.") };
            sawRss = true;
            continue; // into <rss>
        }
        if (reader.name() == QLatin1String("channel"))
            continue; // into <channel>
        if (reader.name() != QLatin1String("item")) {
            reader.skipCurrentElement();
            continue;
        }
        ++items;
        AppcastItem item = readItem(reader);
        const std::optional<VersionNumber> version = VersionNumber::parse(item.version);
        if (!version)
            continue;
        item.version = item.version.trimmed();
        item.shortVersionString = item.shortVersionString.trimmed().left(40);
        if (item.shortVersionString.isEmpty())
            item.shortVersionString = item.version;
        if (!newestVersion || *newestVersion < *version) {
            newestVersion = version;
            result.newest = item;
        }
    }
    if (reader.hasError())
        return { std::nullopt,
            QStringLiteral("The update feed is not valid XML (line %1): %2")
                .arg(reader.lineNumber())
                .arg(reader.errorString()) };
    if (!sawRss)
        return { std::nullopt, QStringLiteral("The update feed is not an RSS feed.") };
    if (items == 0)
        return { std::nullopt, QStringLiteral("The update feed lists no releases.") };
    if (!result.newest)
        result.problem = QStringLiteral("The update feed lists no version that Quillora can read.");
    return result;
}

} // namespace Appcast
