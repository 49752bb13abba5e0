#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "json/value.hpp"
#include "query/selection.hpp"

namespace zarn::query {

// List and object argument values may nest this deep; a value that opens one
// level more fails with "GraphQL argument value nesting exceeds 127 levels".
// The bound keeps parse_value's recursion far from the end of the stack, and
// matches the JSON reader's, so any argument value read here can be written
// and read back as JSON.
inline constexpr std::size_t kMaxValueNesting = 127;

// A single forward pass over the subset of GraphQL the engine serves. One byte
// cursor, no syntax tree: what the engine does not model (directives, variable
// definitions, sub-selections) is skipped as balanced blocks.
//
// Bytes are classified, never decoded: a multi-byte UTF-8 character is only
// accepted inside a string literal, a comment or a skipped block. A message
// that shows a byte writes it as the character whose code point is the byte's
// value (0xC3 shows as "Ã"), so every message is valid UTF-8.
//
// Every operation except skip_ignored and skip_balanced first skips ignored
// input (TAB, LF, FF, CR, SPACE, comma and `#` comments ending at LF or CR);
// none skips what follows what it read, except skip_directives. A failure is
// the message of the innermost problem; the cursor is then left where the
// problem was found and the parse is meant to end.
//
// The parser borrows the input and the variables object; both must outlive it.
class GraphqlFieldParser {
public:
    GraphqlFieldParser(std::string_view input, const json::JsonObject& variables) noexcept
        : input_(input), variables_(&variables) {}
    // The parser outlives a full expression, so it must not borrow a temporary.
    GraphqlFieldParser(std::string_view, json::JsonObject&&) = delete;

    // Lets `$name` take the variable's value out of `variables` (which the
    // caller gives up) at its last reference instead of copying it. The
    // references are counted from the current position to the end of the
    // input, once, here: every `$` that a name follows counts, inside
    // strings and comments too, so a count is never short and a value is
    // only taken when no reference can follow.
    void take_variable_values_at_last_reference(json::JsonObject& variables);

    [[nodiscard]] std::size_t position() const noexcept { return position_; }
    [[nodiscard]] bool at_end() const noexcept { return position_ == input_.size(); }
    // True when the current byte is `byte` (false at end).
    [[nodiscard]] bool at(char byte) const noexcept { return position_ < input_.size() && input_[position_] == byte; }
    // True when the current byte can start a name (A-Z, a-z, _).
    [[nodiscard]] bool at_name_start() const noexcept;

    // Steps over ignored bytes and comments; stops on any other byte or at end.
    void skip_ignored() noexcept {
        // Called before nearly every token, usually with nothing to skip.
        if (at_end()) return;
        const unsigned char c = current();
        if (c > ' ' && c != ',' && c != '#') return;
        skip_ignored_run();
    }

    // Reads a name ([A-Za-z_][A-Za-z0-9_]*) and returns a view of it into the
    // input.
    [[nodiscard]] Result<std::string_view> parse_name_view();

    // Consumes `expected`, which must be the next byte that is not ignored.
    [[nodiscard]] Status expect_byte(char expected) {
        skip_ignored();
        if (at(expected)) {
            ++position_;
            return {};
        }
        return byte_missing(expected);
    }

    // Consumes one block from `open` to its matching `close` without reading
    // it. Only that bracket pair is counted; brackets inside quoted strings
    // and comments are not. `open` and `close` must be two distinct bytes,
    // neither `"` nor `#` (else InternalStop).
    [[nodiscard]] Status skip_balanced(char open, char close);

    // Skips any number of `@name` or `@name(...)` and the ignored input after
    // them. Directives have no effect, and their arguments are never read.
    [[nodiscard]] Status skip_directives() {
        // Most fields have none: this much stays inline.
        skip_ignored();
        if (!at('@')) return {};
        return skip_directive_run();
    }

    // Reads one argument value: an input object, a list, a string or number
    // literal (decoded by the JSON reader), a `$variable` (a deep copy of its
    // value), true / false / null, or an enum value (its name as a string).
    [[nodiscard]] Result<json::JsonValue> parse_value();

    // Reads one selection set `{ ... }`: the fields at its own level with
    // their aliases and arguments (names are views into the input); field
    // directives and sub-selections are skipped. They are appended to
    // `fields`, which may lend the storage of an earlier list.
    [[nodiscard]] Status parse_selection_set(std::vector<SelectedField>& fields);

private:
    [[nodiscard]] unsigned char current() const noexcept { return static_cast<unsigned char>(input_[position_]); }
    void skip_ignored_run() noexcept;
    [[nodiscard]] Status skip_directive_run();
    // The failure of expect_byte(expected) at the cursor.
    [[nodiscard]] Status byte_missing(char expected) const;
    [[nodiscard]] Status skip_string();
    [[nodiscard]] Result<json::JsonValue> parse_value_at(std::size_t depth);
    [[nodiscard]] Result<json::JsonValue> parse_list(std::size_t depth);
    [[nodiscard]] Result<json::JsonValue> parse_object(std::size_t depth);
    [[nodiscard]] Result<json::JsonValue> parse_variable();
    [[nodiscard]] Result<json::JsonValue> parse_string_literal();
    [[nodiscard]] Result<json::JsonValue> parse_number_literal();
    [[nodiscard]] Result<json::JsonValue> parse_named_value();
    [[nodiscard]] Result<json::JsonObject> parse_arguments();

    [[nodiscard]] std::optional<std::string_view> name_after_dollar(std::size_t dollar) const noexcept;

    std::string_view input_;
    const json::JsonObject* variables_;
    std::size_t position_ = 0;
    // Set by take_variable_values_at_last_reference: the variables that may
    // be taken, and how many references of each name are still ahead.
    json::JsonObject* takeable_variables_ = nullptr;
    std::vector<std::pair<std::string_view, std::size_t>> references_ahead_;  // sorted by name
};

}  // namespace zarn::query
