#include "pieces.hpp"

#include <algorithm>

#include "worker_pool.hpp"

namespace radar {

namespace {

constexpr std::size_t kNoStop = static_cast<std::size_t>(-1);

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The opening quote of the next key after a list's end at or after `from`.
std::size_t next_key_after_list(std::string_view text, std::size_t from) {
    for (std::size_t close = text.find(']', from); close != std::string_view::npos;
         close = text.find(']', close + 1)) {
        std::size_t at = close + 1;
        while (at < text.size() && is_blank(text[at])) ++at;
        if (at == text.size() || text[at] != ',') continue;
        ++at;
        while (at < text.size() && is_blank(text[at])) ++at;
        if (at < text.size() && text[at] == '"') return at;
    }
    return std::string_view::npos;
}

// What one piece read, kept aside until the pieces are joined.
struct Piece {
    EventStore::Mark mark{};
    std::vector<SymbolList> members;
    std::optional<std::size_t> end;  // where it stopped, if it was read
};

// Reads the members of one piece: from `begin` (just after the object's '{'
// when `first`, else a key's opening quote) up to the key that starts at
// `stop`, or through the object's '}' when there is no stop; answers where
// it stopped. Declines anything unusual (std::nullopt): the sequential
// reading judges it.
std::optional<std::size_t> read_piece(std::string_view text, std::size_t begin, int depth,
                                      bool first, std::size_t stop, EventStore& store,
                                      std::vector<SymbolList>& members) {
    json::Reader reader(text, begin, depth);
    json::TreeBuilder builder;  // only element values, freed as they go
    auto ends_here = [&](bool expected) {
        return expected ? std::optional<std::size_t>(reader.position()) : std::nullopt;
    };
    if (first && reader.peek_nonblank() == '}') {
        reader.eat();
        return ends_here(stop == kNoStop);
    }
    for (;;) {
        if (reader.peek_nonblank() != '"') return std::nullopt;
        if (reader.position() >= stop) return ends_here(reader.position() == stop);
        reader.eat();
        std::string_view key;
        if (reader.read_string(key) || reader.in_scratch(key) || reader.colon() ||
            reader.peek_nonblank() != '[') {
            return std::nullopt;
        }
        EventList list;
        if (store.read_list(reader, builder, list)) return std::nullopt;
        members.push_back(SymbolList{key, list});
        const int c = reader.peek_nonblank();
        reader.eat();
        if (c == '}') return ends_here(stop == kNoStop);
        if (c != ',') return std::nullopt;
    }
}

}  // namespace

bool worth_reading_in_pieces(std::size_t text_size) {
    constexpr std::size_t kParallelReading = std::size_t{1} << 20;
    return text_size >= kParallelReading && available_processors() > 1;
}

std::vector<std::size_t> guess_piece_starts(std::string_view text, std::size_t begin,
                                            std::size_t pieces) {
    std::vector<std::size_t> starts{begin};
    const std::size_t span = text.size() - begin;
    for (std::size_t i = 1; i < pieces; ++i) {
        const std::size_t from = std::max(begin + span / pieces * i, starts.back() + 1);
        const std::size_t found = next_key_after_list(text, from);
        if (found == std::string_view::npos) break;
        starts.push_back(found);
    }
    return starts;
}

std::optional<std::size_t> read_lists_in_pieces(std::string_view text, std::size_t begin, int depth,
                                                std::vector<EventStore>& stores,
                                                std::vector<SymbolList>& out) {
    const std::vector<std::size_t> starts = guess_piece_starts(text, begin, 4 * pool_size());
    const std::size_t count = starts.size();
    while (stores.size() < count + 1) stores.emplace_back(stores.size());
    std::vector<Piece> pieces(count);
    for (std::size_t p = 0; p < count; ++p) pieces[p].mark = stores[p + 1].mark();
    parallel_for(count, [&](std::size_t p) {
        const std::size_t stop = p + 1 < count ? starts[p + 1] : kNoStop;
        pieces[p].end =
            read_piece(text, starts[p], depth, p == 0, stop, stores[p + 1], pieces[p].members);
    });
    const bool joined =
        std::all_of(pieces.begin(), pieces.end(), [](const Piece& piece) { return piece.end; });
    if (!joined) {
        for (std::size_t p = 0; p < count; ++p) stores[p + 1].rollback(pieces[p].mark);
        return std::nullopt;
    }
    for (const Piece& piece : pieces) {
        out.insert(out.end(), piece.members.begin(), piece.members.end());
    }
    return *pieces.back().end;
}

}  // namespace radar
