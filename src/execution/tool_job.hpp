#pragma once

#include <string>
#include <utility>
#include <vector>

#include "catalogue/tool_metadata.hpp"
#include "json/value.hpp"

namespace zarn::bridge {
class TokioCallBridge;
}

namespace zarn::execution {

// One tool-backed top-level field awaiting its value. The tool's record is
// the catalogue's own: the engine, and so its catalogue, outlives every
// execution, and nothing in a record changes after construction.
struct ToolFieldJob {
    std::string alias;
    const catalogue::ToolMetadata* metadata;
    json::JsonObject arguments;
};

using FieldResult = std::pair<std::string, json::JsonValue>;

// Resolves every job: through the bridge for jobs that find it attached when
// they start, by the placeholder result otherwise. All bridge calls are in
// flight at once; results come back in job order.
[[nodiscard]] std::vector<FieldResult> resolve_tool_jobs(bridge::TokioCallBridge& bridge,
                                                         std::vector<ToolFieldJob> jobs);

// Resolves one job on its own.
[[nodiscard]] FieldResult resolve_tool_field(bridge::TokioCallBridge& bridge, ToolFieldJob job);

}  // namespace zarn::execution
