#pragma once
// A small strict JSON checker for the fuzz harnesses. It shares no code with
// the radar's reader on purpose, so each can be held against the other.
// Byte-level: bytes >= 0x80 inside strings are taken as they are (no UTF-8
// check), since the radar passes such bytes through unchanged.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzcheck {

struct Rules {
    bool compact = false;         // no white space at all between tokens
    int max_depth = 127;          // deepest nesting of arrays and objects; <= 0: unbounded
    bool pair_surrogates = true;  // \u escapes must form valid surrogate pairs
    bool number_range = true;     // non-integer literals must fit a double
};

// A member of the top-level object: its decoded name and its value's text.
struct Member {
    std::string key;
    std::string_view value;
};

class Checker {
public:
    Checker(std::string_view text, Rules rules) : text_(text), rules_(rules) {}

    // True when the whole text is one JSON value under the rules. When the
    // value is an object and `members` is given, its members are listed in
    // text order (repeated names included).
    bool document(std::vector<Member>* members = nullptr) {
        members_ = members;
        if (members_ != nullptr) members_->clear();
        top_is_object_ = false;
        depth_ = 0;
        blank();
        if (!value()) return false;
        blank();
        return pos_ == text_.size();
    }

    [[nodiscard]] bool top_is_object() const { return top_is_object_; }
    // The deepest nesting of arrays and objects met.
    [[nodiscard]] std::size_t depth() const { return depth_; }

    // Decodes one string token (quotes included) into its bytes.
    static bool decode_string(std::string_view token, std::string& out) {
        Checker c(token, Rules{});
        out.clear();
        if (c.peek() != '"') return false;
        ++c.pos_;
        return c.string_body(&out) && c.pos_ == token.size();
    }

private:
    [[nodiscard]] int peek() const {
        return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
    }

    void blank() {
        if (rules_.compact) return;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    static bool is_digit(int c) { return c >= '0' && c <= '9'; }

    bool number() {
        const std::size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (is_digit(peek())) ++pos_;
        } else {
            return false;
        }
        bool integral = true;
        if (peek() == '.') {
            ++pos_;
            if (!is_digit(peek())) return false;
            while (is_digit(peek())) ++pos_;
            integral = false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!is_digit(peek())) return false;
            while (is_digit(peek())) ++pos_;
            integral = false;
        }
        if (!rules_.number_range) return true;
        // Integers beyond 64 bits are read as doubles too; only a literal
        // too large for a double is out of range (too small reads as zero).
        const std::string literal(text_.substr(start, pos_ - start));
        if (integral && literal.size() <= 19) return true;
        return !std::isinf(std::strtod(literal.c_str(), nullptr));
    }

    static int hex(int c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(std::uint32_t& out) {
        if (text_.size() - pos_ < 4) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hex(static_cast<unsigned char>(text_[pos_ + i]));
            if (h < 0) return false;
            out = (out << 4) | static_cast<std::uint32_t>(h);
        }
        pos_ += 4;
        return true;
    }

    static void put_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // After the opening quote, through the closing one.
    bool string_body(std::string* out) {
        for (;;) {
            const int c = peek();
            if (c < 0x20) return false;  // end of text or a raw control byte
            ++pos_;
            if (c == '"') return true;
            if (c != '\\') {
                if (out != nullptr) out->push_back(static_cast<char>(c));
                continue;
            }
            const int e = peek();
            ++pos_;
            char plain = 0;
            switch (e) {
                case '"':
                    plain = '"';
                    break;
                case '\\':
                    plain = '\\';
                    break;
                case '/':
                    plain = '/';
                    break;
                case 'b':
                    plain = '\b';
                    break;
                case 'f':
                    plain = '\f';
                    break;
                case 'n':
                    plain = '\n';
                    break;
                case 'r':
                    plain = '\r';
                    break;
                case 't':
                    plain = '\t';
                    break;
                case 'u':
                    break;
                default:
                    return false;
            }
            if (e != 'u') {
                if (out != nullptr) out->push_back(plain);
                continue;
            }
            std::uint32_t cp = 0;
            if (!hex4(cp)) return false;
            if (rules_.pair_surrogates) {
                if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
            }
            if (out != nullptr) put_utf8(*out, cp);
        }
    }

    bool key(std::string* out) {
        if (peek() != '"') return false;
        ++pos_;
        return string_body(out);
    }

    // One value of any depth; iterative so deep nesting cannot exhaust the stack.
    bool value() {
        std::string frames;  // '[' or '{' per open container
        for (;;) {
            // A value is expected here.
            const int c = peek();
            if (c == '[' || c == '{') {
                if (frames.empty() && c == '{') top_is_object_ = true;
                frames.push_back(static_cast<char>(c));
                if (frames.size() > depth_) depth_ = frames.size();
                if (rules_.max_depth > 0 &&
                    frames.size() > static_cast<std::size_t>(rules_.max_depth)) {
                    return false;
                }
                ++pos_;
                blank();
                const int close = c == '[' ? ']' : '}';
                if (peek() == close) {
                    ++pos_;
                    frames.pop_back();
                } else {
                    if (c == '{' && !open_member(frames)) return false;
                    continue;
                }
            } else if (c == '"') {
                ++pos_;
                if (!string_body(nullptr)) return false;
            } else if (c == 't') {
                if (!literal("true")) return false;
            } else if (c == 'f') {
                if (!literal("false")) return false;
            } else if (c == 'n') {
                if (!literal("null")) return false;
            } else if (c == '-' || is_digit(c)) {
                if (!number()) return false;
            } else {
                return false;
            }
            // After a value: close containers or move to the next element.
            for (;;) {
                if (frames.empty()) return true;
                // A member of the top object just ended: note its value's text.
                if (members_ != nullptr && frames == "{") {
                    members_->back().value = text_.substr(value_start_, pos_ - value_start_);
                }
                blank();
                const int next = peek();
                const char frame = frames.back();
                if (next == ',') {
                    ++pos_;
                    blank();
                    if (frame == '{' && !open_member(frames)) return false;
                    break;
                }
                if ((frame == '[' && next == ']') || (frame == '{' && next == '}')) {
                    ++pos_;
                    frames.pop_back();
                    continue;
                }
                return false;
            }
        }
    }

    // At a member's name: reads "name" and the colon, leaving the cursor on the value.
    bool open_member(const std::string& frames) {
        const bool top = members_ != nullptr && frames == "{";
        std::string name;
        if (!key(top ? &name : nullptr)) return false;
        blank();
        if (peek() != ':') return false;
        ++pos_;
        blank();
        if (top) {
            members_->push_back(Member{std::move(name), {}});
            value_start_ = pos_;
        }
        return true;
    }

    std::string_view text_;
    Rules rules_;
    std::size_t pos_ = 0;
    std::vector<Member>* members_ = nullptr;
    std::size_t value_start_ = 0;  // where the current top member's value begins
    bool top_is_object_ = false;
    std::size_t depth_ = 0;
};

// The last member of that name (later ones replace earlier ones), or null.
inline const Member* find_member(const std::vector<Member>& members, std::string_view name) {
    const Member* found = nullptr;
    for (const Member& m : members) {
        if (m.key == name) found = &m;
    }
    return found;
}

// Prints a text with non-printable bytes escaped, for failure reports.
inline void dump(const char* label, std::string_view text) {
    std::fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02x", c);
        }
    }
    std::fputs("\"\n", stderr);
}

// "... at line L column C" with decimal L and C: the message's position.
// Sets line and column when present.
inline bool positioned(std::string_view message, std::size_t& line, std::size_t& column) {
    auto digits_back = [&](std::size_t& end, std::size_t& value) {
        std::size_t begin = end;
        while (begin > 0 && message[begin - 1] >= '0' && message[begin - 1] <= '9') --begin;
        if (begin == end || end - begin > 18) return false;
        value = std::strtoull(std::string(message.substr(begin, end - begin)).c_str(), nullptr, 10);
        end = begin;
        return true;
    };
    std::size_t end = message.size();
    if (!digits_back(end, column)) return false;
    constexpr std::string_view kColumn = " column ";
    if (end < kColumn.size() || message.substr(end - kColumn.size(), kColumn.size()) != kColumn) {
        return false;
    }
    end -= kColumn.size();
    if (!digits_back(end, line)) return false;
    constexpr std::string_view kLine = " at line ";
    return end >= kLine.size() && message.substr(end - kLine.size(), kLine.size()) == kLine;
}

// A position must name a real place in the text: a line that exists and a
// column within it (the bytes of the line up to the stop, at most its length).
inline bool position_in_text(std::string_view text, std::size_t line, std::size_t column) {
    if (line == 0) return false;
    std::size_t start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) return false;
        start = nl + 1;
    }
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    return column <= end - start;
}

}  // namespace fuzzcheck
