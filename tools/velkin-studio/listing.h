// The API's lists of shared objects (sounds, sets, jobs).
#pragma once

#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

namespace velkin::studio {

// The objects are copied out of their map under the map's lock and described after it is
// released: describing one takes that object's own lock, and a busy object must not hold up
// everyone who adds to or looks up the map meanwhile.
template <typename Map, typename Describe>
nlohmann::json JsonListOf(std::mutex& lock, const Map& map, Describe describe) {
  std::vector<typename Map::mapped_type> objects;
  {
    std::lock_guard guard(lock);
    objects.reserve(map.size());
    for (const auto& entry : map) objects.push_back(entry.second);
  }
  nlohmann::json out = nlohmann::json::array();
  for (const auto& object : objects) out.push_back(describe(*object));
  return out;
}

}  // namespace velkin::studio
