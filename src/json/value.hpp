#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zarn::json {

class JsonValue;
using JsonArray = std::vector<JsonValue>;

// A JSON object: members kept in ascending byte order of their keys, one entry
// per key. Flat sorted storage: lookups are binary searches, iteration and
// writing walk the vector in order.
class JsonObject {
public:
    using Member = std::pair<std::string, JsonValue>;
    using const_iterator = std::vector<Member>::const_iterator;
    using iterator = std::vector<Member>::iterator;

    JsonObject() = default;
    JsonObject(std::initializer_list<Member> members);

    // Builds an object from members in any order; of repeated keys the one
    // given last is kept.
    [[nodiscard]] static JsonObject from_members(std::vector<Member> members);
    // Adopts members whose keys the caller has already checked to be strictly
    // ascending (so no key repeats); nothing is moved or compared.
    [[nodiscard]] static JsonObject from_sorted_members(std::vector<Member> members) noexcept;

    // Defined below JsonValue: their bodies need the complete member type.
    [[nodiscard]] std::size_t size() const noexcept;
    [[nodiscard]] bool empty() const noexcept;
    [[nodiscard]] const_iterator begin() const noexcept;
    [[nodiscard]] const_iterator end() const noexcept;
    [[nodiscard]] iterator begin() noexcept;
    [[nodiscard]] iterator end() noexcept;

    [[nodiscard]] const JsonValue* find(std::string_view key) const noexcept;
    [[nodiscard]] JsonValue* find(std::string_view key) noexcept;
    [[nodiscard]] bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    // Inserts the member, replacing the value of an existing key.
    JsonValue& insert_or_assign(std::string key, JsonValue value);

    void reserve(std::size_t n);
    // Appends a member whose key sorts after every key present; the caller
    // guarantees the order (writers of fixed-order entries use it).
    void append_sorted(std::string key, JsonValue value);

    friend bool operator==(const JsonObject&, const JsonObject&);

private:
    std::vector<Member> members_;
};

enum class JsonKind : std::uint8_t {
    null,
    boolean,
    unsigned_integer,   // std::uint64_t
    negative_integer,   // std::int64_t, always below zero
    floating,           // double, finite when read from text
    string,
    array,
    object,
};

class JsonValue {
public:
    JsonValue() noexcept = default;
    JsonValue(std::nullptr_t) noexcept {}
    JsonValue(bool b) noexcept : data_(b) {}
    JsonValue(std::uint64_t n) noexcept : data_(n) {}
    // A non-negative signed value is stored as unsigned, so each integer has
    // one representation.
    JsonValue(std::int64_t n) noexcept {
        if (n < 0) data_ = n; else data_ = static_cast<std::uint64_t>(n);
    }
    JsonValue(int n) noexcept : JsonValue(static_cast<std::int64_t>(n)) {}
    JsonValue(unsigned n) noexcept : data_(static_cast<std::uint64_t>(n)) {}
    JsonValue(double d) noexcept : data_(d) {}
    JsonValue(std::string s) noexcept : data_(std::move(s)) {}
    JsonValue(std::string_view s) : data_(std::string(s)) {}
    JsonValue(const char* s) : data_(std::string(s)) {}
    JsonValue(JsonArray a) noexcept : data_(std::move(a)) {}
    JsonValue(JsonObject o) noexcept : data_(std::move(o)) {}

    [[nodiscard]] JsonKind kind() const noexcept { return static_cast<JsonKind>(data_.index()); }
    [[nodiscard]] bool is_null() const noexcept { return kind() == JsonKind::null; }
    [[nodiscard]] bool is_bool() const noexcept { return kind() == JsonKind::boolean; }
    [[nodiscard]] bool is_string() const noexcept { return kind() == JsonKind::string; }
    [[nodiscard]] bool is_array() const noexcept { return kind() == JsonKind::array; }
    [[nodiscard]] bool is_object() const noexcept { return kind() == JsonKind::object; }
    [[nodiscard]] bool is_number() const noexcept {
        const auto k = kind();
        return k == JsonKind::unsigned_integer || k == JsonKind::negative_integer ||
               k == JsonKind::floating;
    }

    // Checked access: nullptr when the value is of another kind.
    [[nodiscard]] const bool* if_bool() const noexcept { return std::get_if<bool>(&data_); }
    [[nodiscard]] const std::uint64_t* if_unsigned() const noexcept { return std::get_if<std::uint64_t>(&data_); }
    [[nodiscard]] const std::int64_t* if_negative() const noexcept { return std::get_if<std::int64_t>(&data_); }
    [[nodiscard]] const double* if_double() const noexcept { return std::get_if<double>(&data_); }
    [[nodiscard]] const std::string* if_string() const noexcept { return std::get_if<std::string>(&data_); }
    [[nodiscard]] const JsonArray* if_array() const noexcept { return std::get_if<JsonArray>(&data_); }
    [[nodiscard]] const JsonObject* if_object() const noexcept { return std::get_if<JsonObject>(&data_); }
    [[nodiscard]] JsonArray* if_array() noexcept { return std::get_if<JsonArray>(&data_); }
    [[nodiscard]] JsonObject* if_object() noexcept { return std::get_if<JsonObject>(&data_); }

    // Unchecked access: the caller has tested the kind.
    [[nodiscard]] bool as_bool() const { return std::get<bool>(data_); }
    [[nodiscard]] std::uint64_t as_unsigned() const { return std::get<std::uint64_t>(data_); }
    [[nodiscard]] std::int64_t as_negative() const { return std::get<std::int64_t>(data_); }
    [[nodiscard]] double as_double() const { return std::get<double>(data_); }
    [[nodiscard]] const std::string& as_string() const { return std::get<std::string>(data_); }
    [[nodiscard]] const JsonArray& as_array() const { return std::get<JsonArray>(data_); }
    [[nodiscard]] const JsonObject& as_object() const { return std::get<JsonObject>(data_); }
    [[nodiscard]] JsonArray& as_array() { return std::get<JsonArray>(data_); }
    [[nodiscard]] JsonObject& as_object() { return std::get<JsonObject>(data_); }

    // Structural equality; doubles compare by value and by the sign of zero.
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
                 JsonObject>
        data_;
};

inline std::size_t JsonObject::size() const noexcept { return members_.size(); }
inline bool JsonObject::empty() const noexcept { return members_.empty(); }
inline JsonObject::const_iterator JsonObject::begin() const noexcept { return members_.begin(); }
inline JsonObject::const_iterator JsonObject::end() const noexcept { return members_.end(); }
inline JsonObject::iterator JsonObject::begin() noexcept { return members_.begin(); }
inline JsonObject::iterator JsonObject::end() noexcept { return members_.end(); }
inline void JsonObject::reserve(std::size_t n) { members_.reserve(n); }

}  // namespace zarn::json
