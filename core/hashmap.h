// The library's name for a hash map.
#pragma once

#include <unordered_map>

namespace Vor {
namespace System {

// A hash map from K to V. The third argument is kept for callers that name
// it; the library always passes 1.
template <class K, class V, int Kind = 1>
using HashMap = std::unordered_map<K, V>;

} // namespace System
} // namespace Vor
