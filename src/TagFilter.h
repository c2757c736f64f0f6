// The search rule of the tag tree, shared by every place that filters tags by text: a tag matches when
// the text occurs in its name or in its full path, ignoring ASCII case (no locale). An empty text
// matches everything.
#pragma once

#include <string_view>

// Whether `needle` occurs in `haystack`, comparing byte by byte after ASCII lower-casing both.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

// The tree's rule for one tag: empty text, or the text in the name or in the path.
inline bool tagTextMatches(std::string_view text, std::string_view name, std::string_view path) {
    return text.empty() || containsIgnoringCase(name, text) || containsIgnoringCase(path, text);
}
