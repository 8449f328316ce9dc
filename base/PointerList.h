#pragma once

// The link lists between components (a connection's statements and
// listeners, a transaction's databases): vectors of pointers the lists do not
// own, each pointer listed at most once, in the order it was added.

#include <algorithm>
#include <vector>

namespace od {

// Adds the item unless it is null or listed already.
template <typename T> void AddOnce(std::vector<T*>& list, T* item) {
  if (item == nullptr) return;
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

template <typename T> void EraseOne(std::vector<T*>& list, T* item) noexcept {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

} // namespace od
