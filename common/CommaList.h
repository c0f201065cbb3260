// Task UID lists: texts of pieces separated by commas, compared byte for byte.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::msg {

// Pieces between commas, in order. Empty pieces count ("," gives two empty
// pieces, "a," ends with one); an empty text gives no piece at all.
std::vector<std::string> SplitCommaList(const std::string& text);

// Same pieces as views into `text`; `text` must outlive the result.
std::vector<std::string_view> SplitCommaListViews(std::string_view text);

// True when some piece of `a` equals some piece of `b` (case matters).
bool ListsIntersect(const std::string& a, const std::string& b);

}  // namespace velmora::msg
