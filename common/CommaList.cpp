#include "common/CommaList.h"

#include <unordered_set>

namespace velmora::msg {

std::vector<std::string_view> SplitCommaListViews(std::string_view text) {
  std::vector<std::string_view> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::vector<std::string> SplitCommaList(const std::string& text) {
  std::vector<std::string> pieces;
  for (std::string_view piece : SplitCommaListViews(text)) pieces.emplace_back(piece);
  return pieces;
}

bool ListsIntersect(const std::string& a, const std::string& b) {
  const std::vector<std::string_view> left = SplitCommaListViews(a);
  if (left.empty()) return false;
  const std::unordered_set<std::string_view> known(left.begin(), left.end());
  for (std::string_view piece : SplitCommaListViews(b)) {
    if (known.count(piece) != 0) return true;
  }
  return false;
}

}  // namespace velmora::msg
