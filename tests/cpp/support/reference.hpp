// Reference implementations that the suites and fuzzers compare the product
// with: each builds as a value tree what the product writes straight as text.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "catalogue/catalogue.hpp"
#include "catalogue/tool_metadata.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zarn::reference {

// The value of a tool field while no call bridge is attached:
// {"isError":true,"json":null,"text":"SchemaEngine stub resolved {server}.{tool} but CallBridge is not wired yet"}.
[[nodiscard]] inline json::JsonValue placeholder_result(const catalogue::ToolMetadata& tool) {
    std::string text = "SchemaEngine stub resolved ";
    text.append(tool.server).append(".").append(tool.tool).append(" but CallBridge is not wired yet");
    return json::JsonObject{{"isError", true}, {"json", nullptr}, {"text", std::move(text)}};
}

// "servers": one entry per distinct server in ascending byte order, with the
// first description a tool of the server gives.
[[nodiscard]] inline json::JsonArray server_summaries(const catalogue::Catalogue& catalogue) {
    struct Summary {
        std::optional<std::string_view> description;
        std::uint64_t tools = 0;
        std::uint64_t read_only = 0;
    };
    std::map<std::string_view, Summary> servers;
    for (const catalogue::ToolMetadata& tool : catalogue.tools()) {
        Summary& summary = servers[tool.server];
        ++summary.tools;
        if (tool.read_only) ++summary.read_only;
        if (!summary.description) summary.description = tool.server_description;
    }
    json::JsonArray entries;
    for (const auto& [name, summary] : servers)
        entries.emplace_back(json::JsonObject{{"description", summary.description.value_or(std::string_view())},
                                              {"name", name},
                                              {"readOnlyCount", summary.read_only},
                                              {"toolCount", summary.tools}});
    return entries;
}

// "search": one entry per tool, in catalogue order.
[[nodiscard]] inline json::JsonArray search_hits(const catalogue::Catalogue& catalogue) {
    json::JsonArray hits;
    for (const catalogue::ToolMetadata& tool : catalogue.tools())
        hits.emplace_back(json::JsonObject{{"description", tool.description},
                                           {"field", tool.field},
                                           {"readOnly", tool.read_only},
                                           {"server", tool.server},
                                           {"tool", tool.tool}});
    return hits;
}

// {"data":...,"errors":[]} around a data value.
[[nodiscard]] inline std::string graphql_success(const json::JsonValue& data) {
    return R"({"data":)" + json::to_json_text(data) + R"(,"errors":[]})";
}

}  // namespace zarn::reference
