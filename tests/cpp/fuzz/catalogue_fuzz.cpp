// The catalogue walk on any text: it fails exactly when the text is neither
// blank nor JSON, with the reader's own description; otherwise every record
// keeps the invariants execution relies on (trimmed, non-empty names, a
// valid GraphQL field name, the field index pointing at the first tool of
// that name), and the summaries are sound JSON that reads back unchanged.

#include <algorithm>
#include <cstdint>
#include <string>

#include "catalogue/catalogue.hpp"
#include "common/unicode.hpp"
#include "fuzz_support.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "support/reference.hpp"

namespace {

using namespace zarn;

bool is_graphql_name(std::string_view name) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto name_byte = [&](char c) {
        return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || digit(c);
    };
    return !name.empty() && !digit(name[0]) && std::ranges::all_of(name, name_byte);
}

bool trimmed_text(std::string_view text) { return trim_unicode_whitespace(text) == text && fuzz::is_utf8(text); }

void check_entries(const json::JsonArray& entries) {
    const std::string text = json::to_json_text(json::JsonValue(entries));
    fuzz::expect(fuzz::is_compact_json(text), "summaries are compact JSON", text);
    auto back = json::read_json(text);
    fuzz::expect(back && back->is_array() && back->as_array() == entries, "summaries read back unchanged", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    auto catalogue = catalogue::Catalogue::from_json(text);
    if (is_unicode_blank(text)) {
        fuzz::expect(catalogue && catalogue->size() == 0, "blank text gives the empty catalogue");
        return 0;
    }
    const auto document = json::read_json(text);
    if (!document) {
        fuzz::expect(!catalogue, "text that is not JSON is refused");
        fuzz::expect(catalogue.error() == "invalid catalogue JSON: " + document.error().to_string(),
                     "the refusal carries the reader's description", catalogue.error());
        return 0;
    }
    fuzz::expect(catalogue.has_value(), "any JSON document gives a catalogue",
                 catalogue ? std::string_view{} : catalogue.error());

    const auto& tools = catalogue->tools();
    std::uint64_t read_only = 0;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const catalogue::ToolMetadata& tool = tools[i];
        fuzz::expect(!tool.server.empty() && trimmed_text(tool.server), "server is trimmed text", tool.server);
        fuzz::expect(!tool.tool.empty() && trimmed_text(tool.tool), "tool is trimmed text", tool.tool);
        fuzz::expect(trimmed_text(tool.description), "description is trimmed text", tool.description);
        if (tool.server_description)
            fuzz::expect(!tool.server_description->empty() && trimmed_text(*tool.server_description),
                         "server description is trimmed text", *tool.server_description);
        fuzz::expect(is_graphql_name(tool.field) && tool.field.size() >= 3, "field is a GraphQL name", tool.field);
        const auto first = std::ranges::find(tools, tool.field, &catalogue::ToolMetadata::field);
        fuzz::expect(catalogue->find_field(tool.field) == &*first, "the index finds the first tool of a field",
                     tool.field);
        if (tool.read_only) ++read_only;
    }

    const json::JsonArray hits = reference::search_hits(*catalogue);
    fuzz::expect(hits.size() == tools.size(), "one search entry per tool");
    check_entries(hits);
    const json::JsonArray summaries = reference::server_summaries(*catalogue);
    check_entries(summaries);
    std::uint64_t counted = 0, counted_read_only = 0;
    for (const json::JsonValue& entry : summaries) {
        const json::JsonObject& summary = entry.as_object();
        counted += summary.find("toolCount")->as_unsigned();
        counted_read_only += summary.find("readOnlyCount")->as_unsigned();
    }
    fuzz::expect(counted == tools.size() && counted_read_only == read_only, "summaries count every tool once");
    return 0;
}
