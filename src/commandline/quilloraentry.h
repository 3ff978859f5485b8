#pragma once

#include <cstddef>
#include <string>

// The running instance's D-Bus entry as its callers know it (data/org.quillora.Quillora.xml): its names and
// the longest text it takes. The entry itself is ServiceHandler. No Qt: the launcher uses it too.
namespace QuilloraEntry {

inline constexpr char serviceName[] = "org.quillora.Quillora";
inline constexpr char objectPath[] = "/org/quillora/Quillora";
inline constexpr char interfaceName[] = "org.quillora.Quillora";

// The longest text taken for an explanation, in characters (UTF-16 code units).
inline constexpr std::ptrdiff_t maximumTextLength = 100'000;

inline std::string tooLongMessage()
{
    std::string limit = std::to_string(maximumTextLength);
    for (std::ptrdiff_t at = std::ptrdiff_t(limit.size()) - 3; at > 0; at -= 3)
        limit.insert(std::size_t(at), 1, ',');
    return "The text is too long: Quillora explains at most " + limit + " characters.";
}

} // namespace QuilloraEntry
