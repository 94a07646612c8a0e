#include "error.hpp"

namespace radar {

std::string CoreError::text() const {
    switch (kind) {
        case ErrorKind::Parse:
            return "parse: " + message;
        case ErrorKind::UnknownIndicator:
            return "unknown indicator: " + message;
        case ErrorKind::BadSpec:
            return "bad spec: " + message;
        case ErrorKind::Data:
            return "data: " + message;
    }
    return message;
}

}  // namespace radar
