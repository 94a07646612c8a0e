// TEMPORARY STUB: replaced by the real dispatcher.
#include "command.hpp"

namespace radar {
struct RadarCore {};
std::string CoreError::text() const { return message; }
Result<std::unique_ptr<Radar>> Radar::create(std::string_view spec_text) {
    if (spec_text.empty())
        return parse_error("parse: EOF while parsing a value at line 1 column 0");
    return std::unique_ptr<Radar>(new Radar(std::make_unique<RadarCore>()));
}
Radar::Radar(std::unique_ptr<RadarCore> core) : core_(std::move(core)) {}
Radar::~Radar() = default;
std::string Radar::command(std::string_view) { return R"({"version":"0.2.0"})"; }
}  // namespace radar
