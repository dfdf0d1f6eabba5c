#include "velquor/esperlin/key_index.h"

#include <cstddef>

namespace velquor::esperlin {

KeyIndex::KeyIndex(const Json& map) {
  if (!map.is_object()) return;
  entries_.reserve(map.size());
  for (auto it = map.begin(); it != map.end(); ++it) entries_.emplace(it.key(), &it.value());
}

const Json* KeyIndex::find(std::string_view key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second;
}

void MapBuilder::reserve(size_t count) {
  map_.get_ref<Json::object_t&>().reserve(count);
  positions_.reserve(count);
}

void MapBuilder::set(const std::string& key, Json value) {
  auto& members = map_.get_ref<Json::object_t&>();
  auto [it, inserted] = positions_.emplace(key, members.size());
  if (inserted) members.emplace_back(key, std::move(value));
  else (members.begin() + static_cast<std::ptrdiff_t>(it->second))->second = std::move(value);
}

}  // namespace velquor::esperlin
