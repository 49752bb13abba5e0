#include "execution/tool_job.hpp"

#include "bridge/call_bridge.hpp"

namespace zarn::execution {
namespace {

std::string_view operation_of(const catalogue::ToolMetadata& tool) { return tool.read_only ? "query" : "mutation"; }

json::JsonValue value_of(Result<json::JsonValue> outcome) {
    if (outcome) return std::move(*outcome);
    return bridge::tool_error_result(outcome.error());
}

}  // namespace

DataMember resolve_tool_field(bridge::TokioCallBridge& bridge, ToolFieldJob job) {
    if (!bridge.attached()) return {job.alias, job.metadata};
    auto outcome = bridge.call_tool(job.metadata->server, job.metadata->tool, json::JsonValue(std::move(job.arguments)),
                                    operation_of(*job.metadata));
    return {job.alias, value_of(std::move(outcome))};
}

void resolve_tool_jobs(bridge::TokioCallBridge& bridge, std::span<ToolFieldJob> jobs,
                       std::vector<DataMember>& members) {
    if (jobs.size() < 2) {
        for (ToolFieldJob& job : jobs) {
            // Detached, the job's arguments are not needed: they go with the job.
            if (!bridge.attached()) members.push_back({job.alias, job.metadata});
            else members.push_back(resolve_tool_field(bridge, std::move(job)));
        }
        return;
    }
    // Every job reads the flag as it starts, in job order; those that find the
    // bridge attached go out together as one batch.
    std::vector<bridge::ToolCallRequest> calls;
    std::vector<std::size_t> called;  // positions in `members` of the calls
    for (ToolFieldJob& job : jobs) {
        if (!bridge.attached()) {
            members.push_back({job.alias, job.metadata});
            continue;
        }
        calls.push_back(bridge::ToolCallRequest{job.metadata->server, job.metadata->tool,
                                                json::JsonValue(std::move(job.arguments)),
                                                operation_of(*job.metadata)});
        called.push_back(members.size());
        members.emplace_back().key = job.alias;  // its value comes with the batch
    }
    if (!calls.empty()) {
        auto outcomes = bridge.call_tools(std::move(calls));
        for (std::size_t k = 0; k < outcomes.size(); ++k) members[called[k]].value = value_of(std::move(outcomes[k]));
    }
}

}  // namespace zarn::execution
