// closest.hpp: the names a misspelt one was probably meant to be, for the
// "did you mean" of a refusal. Only failure paths come here.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::codec {

// Edits (insert, delete, replace one byte) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b);

// Up to three candidates near text, nearest first: letter case counts least
// (INT finds int and Int), then the edits, then the name. None when no
// candidate is within a few edits (a quarter of text's length, two at least).
std::vector<std::string_view> closest_names(std::string_view text, std::span<const std::string_view> candidates);

// " (did you mean a, b?)", or nothing for no names.
std::string did_you_mean(const std::vector<std::string_view>& names);

}  // namespace velmora::codec
