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

// The members the walk reads of an object. Where several keys can give one
// field, they stand together, first the one that wins.
enum WalkKey : std::uint8_t {
    kServer,
    kServerId,
    kServerIdCamel,
    kServerName,  // the server
    kServerDescriptionCamel,
    kServerDescription,  // its description
    kName,
    kTool,
    kToolName,
    kToolNameCamel,  // the tool
    kDescription,
    kReadOnlyCamel,
    kReadOnly,
    kReadOnlyHint,  // read_only
    kAnnotations,
    kTools,
    kWalkKeyCount
};
constexpr std::array<std::string_view, kWalkKeyCount> kWalkKeyTexts{
    "server",    "server_id",    "serverId",    "server_name", "serverDescription", "server_description",
    "name",      "tool",         "tool_name",   "toolName",    "description",       "readOnly",
    "read_only", "readOnlyHint", "annotations", "tools"};
constexpr std::string_view kAnnotationReadOnlyKey = "readOnlyHint";
constexpr std::string_view kInnerValueKey = "value";

// The keys from `first` to `last`, in the order they are tried.
struct KeyRange {
    WalkKey first;
    WalkKey last;
};
constexpr KeyRange kServerKeys{kServer, kServerName};
constexpr KeyRange kServerDescriptionKeys{kServerDescriptionCamel, kServerDescription};
constexpr KeyRange kToolKeys{kName, kToolNameCamel};
constexpr KeyRange kDescriptionKeys{kDescription, kDescription};
constexpr KeyRange kReadOnlyKeys{kReadOnlyCamel, kReadOnlyHint};

constexpr bool in(KeyRange range, WalkKey key) noexcept { return key >= range.first && key <= range.last; }

constexpr WalkKey walk_key(std::string_view key) noexcept {
    for (std::uint8_t i = 0; i < kWalkKeyCount; ++i)
        if (kWalkKeyTexts[i].size() == key.size() && kWalkKeyTexts[i] == key) return static_cast<WalkKey>(i);
    return kWalkKeyCount;
}

// An object's members that the walk reads, found in one pass over it rather
// than by a search per key tried.
class WalkedMembers {
public:
    explicit WalkedMembers(const JsonObject& object) noexcept {
        for (const auto& [key, value] : object)
            if (const WalkKey k = walk_key(key); k != kWalkKeyCount) values_[k] = &value;
    }
    const JsonValue* operator[](WalkKey key) const noexcept { return values_[key]; }

private:
    std::array<const JsonValue*, kWalkKeyCount> values_{};
};

// The text of the string `value` holds, trimmed of Unicode white space, when
// that is not blank.
std::optional<std::string_view> non_blank(const JsonValue* value) {
    if (value == nullptr) return std::nullopt;
    const json::JsonString* text = value->if_string();
    if (text == nullptr) return std::nullopt;
    const std::string_view trimmed = trim_unicode_whitespace(*text);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

// The trimmed text of the first of `keys` whose value is a non-blank string,
// or an object whose "value" member is one.
std::optional<std::string_view> string_field(const WalkedMembers& members, KeyRange keys) {
    for (std::uint8_t key = keys.first; key <= keys.last; ++key) {
        const JsonValue* value = members[static_cast<WalkKey>(key)];
        if (value == nullptr) continue;
        if (const auto text = non_blank(value)) return text;
        if (const JsonObject* inner = value->if_object()) {
            if (const auto text = non_blank(inner->find(kInnerValueKey))) return text;
        }
    }
    return std::nullopt;
}

bool read_only_flag(const WalkedMembers& members) {
    for (std::uint8_t key = kReadOnlyKeys.first; key <= kReadOnlyKeys.last; ++key) {
        if (const JsonValue* value = members[static_cast<WalkKey>(key)]) {
            if (const bool* flag = value->if_bool()) return *flag;
        }
    }
    if (const JsonValue* annotations = members[kAnnotations]) {
        if (const JsonObject* inner = annotations->if_object()) {
            if (const JsonValue* value = inner->find(kAnnotationReadOnlyKey)) {
                if (const bool* flag = value->if_bool()) return *flag;
            }
        }
    }
    return true;
}

// How the walk below looks at a value: as a node it walks, as a value of
// string_field, as annotations, or only as a scalar.
enum WalkContext : json::ReadPlan::Context { kWalked = 1, kStringField, kAnnotationsObject, kScalar };

json::ReadPlan::Context walked_member(json::ReadPlan::Context object, std::string_view key) noexcept {
    switch (object) {
        case kWalked: {
            const WalkKey k = walk_key(key);
            if (k == kTools) return kWalked;
            if (in({kServer, kDescription}, k)) return kStringField;
            if (k == kAnnotations) return kAnnotationsObject;
            if (in(kReadOnlyKeys, k)) return kScalar;
            break;
        }
        case kStringField:
            if (key == kInnerValueKey) return kScalar;
            break;
        case kAnnotationsObject:
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
        if (is_name_byte(c)) *out++ = ch;
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
    if (const JsonValue* tools = object->find(kWalkKeyTexts[kTools]); tools != nullptr && tools->is_array())
        return tool_candidates(*tools);
    return 1;
}

// `server` and `server_description` are kept texts: an object that names
// its server keeps the name once, for every tool below it.
void collect(const JsonValue& value, std::optional<std::string_view> server,
             std::optional<std::string_view> server_description, TextStore& texts, std::vector<ToolMetadata>& out) {
    if (const json::JsonArray* array = value.if_array()) {
        for (const JsonValue& element : *array) collect(element, server, server_description, texts, out);
        return;
    }
    const JsonObject* object = value.if_object();
    if (object == nullptr) return;
    const WalkedMembers members(*object);

    if (const auto own_server = string_field(members, kServerKeys)) server = texts.keep(*own_server);
    if (const auto own_description = string_field(members, kServerDescriptionKeys))
        server_description = texts.keep(*own_description);

    if (const JsonValue* tools = members[kTools]) {
        if (const json::JsonArray* nested = tools->if_array()) {
            for (const JsonValue& element : *nested) collect(element, server, server_description, texts, out);
            return;
        }
    }
    if (!server) return;
    const auto tool_name = string_field(members, kToolKeys);
    if (!tool_name) return;

    ToolMetadata& metadata = out.emplace_back();
    metadata.server = *server;
    metadata.server_description = server_description;
    metadata.field = field_name(*server, *tool_name, texts);
    metadata.tool = texts.keep(*tool_name);
    if (const auto description = string_field(members, kDescriptionKeys))
        metadata.description = texts.keep(*description);
    metadata.read_only = read_only_flag(members);
}

}  // namespace

// The written placeholder is a fixed head, the server, ".", the tool and a
// fixed tail; neither fixed part needs escaping.
constexpr std::string_view kHead = R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved )";
constexpr std::string_view kTail = R"( but CallBridge is not wired yet"})";

std::size_t ToolMetadata::placeholder_result_size() const noexcept {
    return kHead.size() + server.size() + 1 + tool.size() + kTail.size();
}

void ToolMetadata::write_placeholder_result(std::string& out) const {
    if (!plain_names && (json::needs_escape(server) || json::needs_escape(tool))) {
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
