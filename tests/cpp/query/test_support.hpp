#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zarn::json {

// Failure output shows values as JSON text.
inline void PrintTo(const JsonValue& value, std::ostream* os) { *os << to_json_text(value); }
inline void PrintTo(const JsonObject& object, std::ostream* os) { *os << to_json_text(object); }

}  // namespace zarn::json

namespace zarn::query::testing {

// The value of a JSON text that the test itself knows to be well-formed.
inline json::JsonValue json_value(std::string_view text) {
    auto value = json::read_json(text);
    if (!value) ADD_FAILURE() << "bad test JSON " << text << ": " << value.error().to_string();
    return value ? std::move(*value) : json::JsonValue();
}

inline json::JsonObject json_object(std::string_view text) {
    auto value = json_value(text);
    return value.is_object() ? std::move(value.as_object()) : json::JsonObject();
}

// "ok", the name read, or the message.
inline std::string outcome(const Status& status) { return status ? "ok" : status.error(); }
inline std::string outcome(const Result<std::string>& name) { return name ? "name " + *name : name.error(); }

}  // namespace zarn::query::testing
