#pragma once
// Scratch vectors reused from command to command.

#include <cstddef>
#include <vector>

namespace radar {

// Empties `v`, keeping its storage for the next command unless it holds
// more than `keep` elements' worth: one huge request must not pin its
// memory for the life of the radar.
template <class T>
void clear_reusing(std::vector<T>& v, std::size_t keep) {
    if (v.capacity() > keep) {
        std::vector<T>().swap(v);
    } else {
        v.clear();
    }
}

// How many elements a scratch vector keeps between commands.
inline constexpr std::size_t kKeptScratch = std::size_t{1} << 16;

}  // namespace radar
