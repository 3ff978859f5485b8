#pragma once

#include <QString>

// The running instance's D-Bus entry as its callers know it (data/org.quillora.Quillora.xml): its names and
// the longest text it takes. The entry itself is ServiceHandler.
namespace QuilloraEntry {

inline const QString serviceName = QStringLiteral("org.quillora.Quillora");
inline const QString objectPath = QStringLiteral("/org/quillora/Quillora");

// The longest text taken for an explanation, in characters (UTF-16 code units).
constexpr qsizetype maximumTextLength = 100'000;

inline QString tooLongMessage()
{
    return QStringLiteral("The text is too long: Quillora explains at most %L1 characters.").arg(maximumTextLength);
}

} // namespace QuilloraEntry
