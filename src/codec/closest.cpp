#include "codec/closest.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>

#include "codec/messages.hpp"

namespace velmora::codec {
namespace {

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::vector<std::string_view> closest_names(std::string_view text, std::span<const std::string_view> candidates) {
  const std::size_t limit = std::max<std::size_t>(2, text.size() / 4);
  const std::string key = folded(text);
  std::vector<std::tuple<std::size_t, std::size_t, std::string_view>> near;
  for (std::string_view c : candidates) {
    // Names far longer or shorter cannot be near: skip the table for them.
    const std::size_t gap = c.size() > text.size() ? c.size() - text.size() : text.size() - c.size();
    if (gap > limit || c == text) continue;
    const std::size_t d = edit_distance(key, folded(c));
    if (d <= limit) near.emplace_back(d, edit_distance(text, c), c);
  }
  std::sort(near.begin(), near.end());
  near.erase(std::unique(near.begin(), near.end()), near.end());
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < near.size() && i < 3; ++i) out.push_back(std::get<2>(near[i]));
  return out;
}

std::string did_you_mean(const std::vector<std::string_view>& names) {
  if (names.empty()) return {};
  std::string out = msg::kDidYouMean;
  for (std::size_t i = 0; i < names.size(); ++i) out.append(i ? ", " : "").append(names[i]);
  return out.append("?)");
}

}  // namespace velmora::codec
