// Reading the published vectors: hex text to bytes, a JSON file of tests/vectors.
#pragma once
#include <rapidjson/document.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

inline std::vector<std::uint8_t> unhex(std::string_view s) {
  std::vector<std::uint8_t> out(s.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(std::stoi(std::string(s.substr(2 * i, 2)), nullptr, 16));
  }
  return out;
}

// An unreadable or malformed file gives a document that is not an object: the tests then fail on it.
inline rapidjson::Document vector_file(const std::string& name) {
  std::ifstream f(VELMORA_VECTORS_DIR "/" + name);
  std::stringstream ss;
  ss << f.rdbuf();
  rapidjson::Document d;
  d.Parse(ss.str().c_str());
  return d;
}

}  // namespace velmora::testing
