#pragma once
// Reading a large scan's "events" object in pieces, in parallel.
//
// The object maps symbols to event lists. Pieces start at guessed member
// boundaries: from evenly spaced points, the first key after a list's end
// (']', ',' and '"' with only blanks between). Each piece is read on the
// worker pool with a reader and an event store of its own, up to the key
// where the next piece starts.
//
// Invariant: a piece counts only if it ends exactly where the next one
// begins (the last one: just after the object's '}'). The first piece starts
// at the object's true start; a piece that starts at a true member boundary
// reads what a sequential reading reads, and if it ends exactly at the next
// piece's start, that start is a true member boundary too. So when every
// piece ends where the next begins, the pieces together are the sequential
// reading, whatever the guesses were.
//
// Rollback: anything else (a guess inside a string, a syntax error, a
// member that is not an array, a key with escapes, a depth limit) voids the
// whole attempt: every piece's store is rolled back to where it was, nothing
// is appended, and the caller reads the object sequentially, which reports
// the exact failure.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "event.hpp"

namespace radar {

// A member of an object of event lists.
struct SymbolList {
    std::string_view symbol;
    EventList list;
};

// Whether a request text of this size is worth reading in pieces.
[[nodiscard]] bool worth_reading_in_pieces(std::size_t text_size);

// Reads an object of event lists in pieces, from just after its '{' at
// `begin`, inside `depth` open arrays and objects (the object's own level
// included). `stores` holds the sequential reader's store first; the pieces
// use the ones after it, added as needed. On success appends the members in
// text order to `out` (symbols view the text) and answers where the object
// ends, just after its '}'; std::nullopt when the pieces do not join, with
// everything rolled back.
[[nodiscard]] std::optional<std::size_t> read_lists_in_pieces(std::string_view text,
                                                              std::size_t begin, int depth,
                                                              std::vector<EventStore>& stores,
                                                              std::vector<SymbolList>& out);

// Where pieces probably start: `begin`, then the first key after a list's
// end from each of `pieces - 1` evenly spaced points (fewer when none is
// found). Exposed for the checks.
[[nodiscard]] std::vector<std::size_t> guess_piece_starts(std::string_view text, std::size_t begin,
                                                          std::size_t pieces);

}  // namespace radar
