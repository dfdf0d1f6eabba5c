// Constant-time access to the members of large JSON maps. The event and
// explanation indexes hold one entry per event or signal (tens of thousands
// on a long history), and a JSON map looks its members up one by one, so the
// steps that consult them per signal go through these helpers instead.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/json.h"

namespace velquor::esperlin {

// Read access to the members of a JSON map (null counts as an empty map).
// The map must outlive the index and stay unchanged.
class KeyIndex {
 public:
  explicit KeyIndex(const Json& map);
  // The member under `key`, or nullptr.
  const Json* find(std::string_view key) const;
  bool empty() const { return entries_.empty(); }

 private:
  std::unordered_map<std::string_view, const Json*> entries_;
};

// Builds a JSON map member by member: setting a key again replaces its value
// and keeps its first position.
class MapBuilder {
 public:
  void set(const std::string& key, Json value);
  // Room for `count` members: a map's keys are copied when it grows.
  void reserve(size_t count);
  bool contains(const std::string& key) const { return positions_.count(key) > 0; }
  Json take() { return std::move(map_); }

 private:
  Json map_ = Json::object();
  std::unordered_map<std::string, size_t> positions_;
};

}  // namespace velquor::esperlin
