#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/text_store.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace zarn::catalogue {

// One tool of the catalogue; every text is trimmed. The texts are views: the
// records a Catalogue holds view texts that the catalogue keeps, so a record
// is small, copies as its bytes, and the tools of one server share its texts.
struct ToolMetadata {
    std::string_view server;
    std::optional<std::string_view> server_description;
    std::string_view tool;
    std::string_view description;
    std::string_view field;  // sanitize(server) + "_" + sanitize(tool), a valid GraphQL name
    bool read_only = true;
    // Set by the catalogue when neither `server` nor `tool` needs escaping in
    // JSON, so that the placeholder is copied without checking them; false
    // only means "not known". It is derived, so equality leaves it out.
    bool plain_names = false;

    // The value of this tool's field while no call bridge is attached, as JSON
    // text appended to `out`: {"isError":true,"json":null,"text":"SchemaEngine
    // stub resolved {server}.{tool} but CallBridge is not wired yet"}.
    void write_placeholder_result(std::string& out) const;
    // The size of that text when the names need no escaping; a lower bound
    // otherwise.
    [[nodiscard]] std::size_t placeholder_result_size() const noexcept;

    friend bool operator==(const ToolMetadata& a, const ToolMetadata& b) noexcept {
        return a.server == b.server && a.server_description == b.server_description && a.tool == b.tool &&
               a.description == b.description && a.field == b.field && a.read_only == b.read_only;
    }
};

// Walks `value` depth first and appends every tool it describes to `out`,
// its texts kept in `texts`. Arrays and members named "tools" are descended
// into; nothing else is. `server` and `server_description`, the texts that
// the walk starts from, must already be kept where the records may view them.
void collect_tool_metadata(const json::JsonValue& value, std::optional<std::string_view> server,
                           std::optional<std::string_view> server_description, TextStore& texts,
                           std::vector<ToolMetadata>& out);
// The same over a whole document, with the tool list grown once for it.
void collect_tool_metadata(const json::JsonValue& document, TextStore& texts, std::vector<ToolMetadata>& out);

// What collect_tool_metadata reads of a document, for reading a catalogue
// without building the members it never looks at (input schemas, titles).
[[nodiscard]] const json::ReadPlan& tool_metadata_read_plan() noexcept;

// ASCII letters, digits and "_" stay; any other Unicode scalar becomes one
// "_"; a leading digit gets a "_" in front; the empty text gives "_".
[[nodiscard]] std::string sanitize_graphql_name(std::string_view text);

}  // namespace zarn::catalogue
