#include "catalogue/tool_metadata.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "common/unicode.hpp"
#include "json/writer.hpp"

namespace zarn::catalogue {
namespace {

using json::JsonObject;
using json::JsonValue;

constexpr std::array<std::string_view, 4> kServerKeys{"server", "server_id", "serverId",
                                                      "server_name"};
constexpr std::array<std::string_view, 2> kServerDescriptionKeys{"serverDescription",
                                                                 "server_description"};
constexpr std::array<std::string_view, 4> kToolKeys{"name", "tool", "tool_name", "toolName"};
constexpr std::array<std::string_view, 1> kDescriptionKeys{"description"};
constexpr std::array<std::string_view, 3> kReadOnlyKeys{"readOnly", "read_only", "readOnlyHint"};
constexpr std::string_view kAnnotationsKey = "annotations";
constexpr std::string_view kAnnotationReadOnlyKey = "readOnlyHint";
constexpr std::string_view kToolsKey = "tools";
constexpr std::string_view kInnerValueKey = "value";

// The string `value` holds, when its trimmed text is not blank.
const json::JsonString* non_blank(const JsonValue* value) {
    if (value == nullptr) return nullptr;
    const json::JsonString* text = value->if_string();
    if (text == nullptr || trim_unicode_whitespace(*text).empty()) return nullptr;
    return text;
}

// The string that string_field takes its text from.
const json::JsonString* string_field_source(const JsonObject* object, std::span<const std::string_view> keys) {
    if (object == nullptr || object->empty()) return nullptr;
    for (std::string_view key : keys) {
        const JsonValue* value = object->find(key);
        if (value == nullptr) continue;
        if (const json::JsonString* text = non_blank(value)) return text;
        if (const JsonObject* inner = value->if_object()) {
            if (const json::JsonString* text = non_blank(inner->find(kInnerValueKey))) return text;
        }
    }
    return nullptr;
}

const bool* boolean_member(const JsonObject& object, std::string_view key) {
    const JsonValue* value = object.find(key);
    return value != nullptr ? value->if_bool() : nullptr;
}

bool read_only_flag(const JsonObject& object) {
    for (std::string_view key : kReadOnlyKeys) {
        if (const bool* flag = boolean_member(object, key)) return *flag;
    }
    if (const JsonValue* annotations = object.find(kAnnotationsKey)) {
        if (const JsonObject* inner = annotations->if_object()) {
            if (const bool* flag = boolean_member(*inner, kAnnotationReadOnlyKey)) return *flag;
        }
    }
    return true;
}

// How the walk below looks at a value: as a node it walks, as a value of
// string_field, as annotations, or only as a scalar.
enum WalkContext : json::ReadPlan::Context { kWalked = 1, kStringField, kAnnotations, kScalar };

template <std::size_t N>
constexpr bool is_one_of(std::string_view key, const std::array<std::string_view, N>& keys) noexcept {
    return std::ranges::find(keys, key) != keys.end();
}

json::ReadPlan::Context walked_member(json::ReadPlan::Context object, std::string_view key) noexcept {
    switch (object) {
        case kWalked:
            if (key == kToolsKey) return kWalked;
            if (is_one_of(key, kServerKeys) || is_one_of(key, kServerDescriptionKeys) ||
                is_one_of(key, kToolKeys) || is_one_of(key, kDescriptionKeys))
                return kStringField;
            if (key == kAnnotationsKey) return kAnnotations;
            if (is_one_of(key, kReadOnlyKeys)) return kScalar;
            break;
        case kStringField:
            if (key == kInnerValueKey) return kScalar;
            break;
        case kAnnotations:
            if (key == kAnnotationReadOnlyKey) return kScalar;
            break;
        default: break;
    }
    return json::ReadPlan::kPruned;
}

constexpr json::ReadPlan kWalkPlan{kWalked, &walked_member};

constexpr bool is_name_byte(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The most bytes append_graphql_name writes for `text`: one per byte, and one
// more for a leading digit or an empty text.
constexpr std::size_t max_graphql_name_size(std::string_view text) noexcept { return text.size() + 1; }

// Writes the name at `out`; returns the end of what it wrote.
char* append_graphql_name(std::string_view text, char* out) noexcept {
    if (text.empty()) {
        *out++ = '_';
        return out;
    }
    if (text.front() >= '0' && text.front() <= '9') *out++ = '_';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_name_byte(c))
            *out++ = ch;
        else if ((c & 0xC0u) != 0x80u)  // one "_" per scalar: skip continuation bytes
            *out++ = '_';
    }
    return out;
}

// sanitize(server) + "_" + sanitize(tool), written straight into the store.
std::string_view field_name(std::string_view server, std::string_view tool, TextStore& texts) {
    return texts.keep_written(max_graphql_name_size(server) + 1 + max_graphql_name_size(tool), [&](char* at) {
        char* out = append_graphql_name(server, at);
        *out++ = '_';
        out = append_graphql_name(tool, out);
        return static_cast<std::size_t>(out - at);
    });
}

// Objects that the walk may take for tools: an upper bound on the tools a
// document gives, so that their list is allocated once.
std::size_t tool_candidates(const JsonValue& value) {
    if (const json::JsonArray* array = value.if_array()) {
        std::size_t count = 0;
        for (const JsonValue& element : *array) count += tool_candidates(element);
        return count;
    }
    const JsonObject* object = value.if_object();
    if (object == nullptr) return 0;
    if (const JsonValue* tools = object->find(kToolsKey); tools != nullptr && tools->is_array())
        return tool_candidates(*tools);
    return 1;
}

// `server` and `server_description` are kept texts: an object that names
// its server keeps the name once, for every tool below it.
void collect(const JsonValue& value, std::optional<std::string_view> server,
             std::optional<std::string_view> server_description, TextStore& texts,
             std::vector<ToolMetadata>& out) {
    if (const json::JsonArray* array = value.if_array()) {
        for (const JsonValue& element : *array) collect(element, server, server_description, texts, out);
        return;
    }
    const JsonObject* object = value.if_object();
    if (object == nullptr) return;

    if (const auto own_server = string_field(object, kServerKeys)) server = texts.keep(*own_server);
    if (const auto own_description = string_field(object, kServerDescriptionKeys))
        server_description = texts.keep(*own_description);

    if (const JsonValue* tools = object->find(kToolsKey)) {
        if (const json::JsonArray* nested = tools->if_array()) {
            for (const JsonValue& element : *nested) collect(element, server, server_description, texts, out);
            return;
        }
    }
    if (!server) return;
    const json::JsonString* tool = string_field_source(object, kToolKeys);
    if (tool == nullptr) return;

    ToolMetadata& metadata = out.emplace_back();
    metadata.server = *server;
    metadata.server_description = server_description;
    const std::string_view tool_name = trim_unicode_whitespace(*tool);
    metadata.field = field_name(*server, tool_name, texts);
    metadata.tool = texts.keep(tool_name);
    if (const json::JsonString* description = string_field_source(object, kDescriptionKeys))
        metadata.description = texts.keep(trim_unicode_whitespace(*description));
    metadata.read_only = read_only_flag(*object);
}

constexpr std::string_view kPlaceholderOpening = "SchemaEngine stub resolved ";
constexpr std::string_view kPlaceholderClosing = " but CallBridge is not wired yet";

}  // namespace

json::JsonValue ToolMetadata::placeholder_result() const {
    std::string text;
    text.reserve(kPlaceholderOpening.size() + server.size() + 1 + tool.size() + kPlaceholderClosing.size());
    text.append(kPlaceholderOpening).append(server).append(".").append(tool).append(kPlaceholderClosing);
    JsonObject result;
    result.reserve(3);
    result.append_sorted("isError", true);
    result.append_sorted("json", nullptr);
    result.append_sorted("text", std::move(text));
    return result;
}

// The written placeholder is a fixed head, the server, ".", the tool and a
// fixed tail; neither fixed part needs escaping.
constexpr std::string_view kHead = R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved )";
constexpr std::string_view kTail = R"( but CallBridge is not wired yet"})";
static_assert(kHead.ends_with(kPlaceholderOpening) && kTail.starts_with(kPlaceholderClosing));

std::size_t ToolMetadata::placeholder_result_size() const noexcept {
    return kHead.size() + server.size() + 1 + tool.size() + kTail.size();
}

void ToolMetadata::write_placeholder_result(std::string& out) const {
    if (json::needs_escape(server) || json::needs_escape(tool)) {
        out.append(kHead);
        json::write_string_body(server, out);
        out.push_back('.');
        json::write_string_body(tool, out);
        out.append(kTail);
        return;
    }
    // The usual case: every piece as it is, copied into room made once; the
    // fixed pieces copy as constants.
    const std::size_t size = out.size();
    const std::size_t added = placeholder_result_size();
    out.resize_and_overwrite(size + added, [&](char* text, std::size_t) noexcept {
        char* p = text + size;
        std::memcpy(p, kHead.data(), kHead.size());
        p += kHead.size();
        std::memcpy(p, server.data(), server.size());
        p += server.size();
        *p++ = '.';
        std::memcpy(p, tool.data(), tool.size());
        p += tool.size();
        std::memcpy(p, kTail.data(), kTail.size());
        return size + added;
    });
}

const json::ReadPlan& tool_metadata_read_plan() noexcept { return kWalkPlan; }

std::optional<std::string_view> string_field(const JsonObject* object,
                                             std::span<const std::string_view> keys) {
    if (const json::JsonString* source = string_field_source(object, keys)) return trim_unicode_whitespace(*source);
    return std::nullopt;
}

std::string sanitize_graphql_name(std::string_view text) {
    std::string name;
    name.resize_and_overwrite(max_graphql_name_size(text), [&](char* at, std::size_t) noexcept {
        return static_cast<std::size_t>(append_graphql_name(text, at) - at);
    });
    return name;
}

void collect_tool_metadata(const JsonValue& value, std::optional<std::string_view> server,
                           std::optional<std::string_view> server_description, TextStore& texts,
                           std::vector<ToolMetadata>& out) {
    collect(value, server, server_description, texts, out);
}

void collect_tool_metadata(const JsonValue& document, TextStore& texts, std::vector<ToolMetadata>& out) {
    out.reserve(out.size() + tool_candidates(document));
    collect(document, std::nullopt, std::nullopt, texts, out);
}

}  // namespace zarn::catalogue
