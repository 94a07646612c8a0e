#pragma once
// Scratch vectors reused from command to command.

#include <algorithm>
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

// Remembers how much of a buffer recent commands used, decaying, so that a
// buffer sized for a workload that repeats keeps its storage, while one
// sized by a single huge request gives it back a few commands later.
class RecentUse {
public:
    // Records this command's use; true when `capacity` is not far above
    // what recent commands needed.
    bool keeps(std::size_t used, std::size_t capacity) {
        recent_ = std::max(used, recent_ - recent_ / 4);
        return capacity <= std::max(2 * recent_, kKeptScratch);
    }

private:
    std::size_t recent_ = 0;
};

template <class T>
void clear_reusing(std::vector<T>& v, RecentUse& use) {
    if (use.keeps(v.size(), v.capacity())) {
        v.clear();
    } else {
        std::vector<T>().swap(v);
    }
}

}  // namespace radar
