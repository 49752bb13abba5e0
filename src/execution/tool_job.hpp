#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "catalogue/tool_metadata.hpp"
#include "execution/response.hpp"
#include "json/value.hpp"

namespace zarn::bridge {
class TokioCallBridge;
}

namespace zarn::execution {

// One tool-backed top-level field awaiting its value. The tool's record is
// the catalogue's own: the engine, and so its catalogue, outlives every
// execution, and nothing in a record changes after construction. The alias
// is borrowed from the query text.
struct ToolFieldJob {
    std::string_view alias;
    const catalogue::ToolMetadata* metadata;
    json::JsonObject arguments;
};

// Resolves every job and appends its member to `members`, in job order:
// through the bridge for jobs that find it attached when they start, by the
// placeholder result otherwise. All bridge calls are in flight at once. The
// jobs' arguments are moved out.
void resolve_tool_jobs(bridge::TokioCallBridge& bridge, std::span<ToolFieldJob> jobs, std::vector<DataMember>& members);

// Resolves one job on its own.
[[nodiscard]] DataMember resolve_tool_field(bridge::TokioCallBridge& bridge, ToolFieldJob job);

}  // namespace zarn::execution
