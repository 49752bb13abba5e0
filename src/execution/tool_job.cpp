#include "execution/tool_job.hpp"

#include "bridge/call_bridge.hpp"

namespace zarn::execution {
namespace {

std::string_view operation_of(const catalogue::ToolMetadata& tool) {
    return tool.read_only ? "query" : "mutation";
}

json::JsonValue value_of(Result<json::JsonValue> outcome) {
    if (outcome) return std::move(*outcome);
    return bridge::tool_error_result(outcome.error());
}

}  // namespace

FieldResult resolve_tool_field(bridge::TokioCallBridge& bridge, ToolFieldJob job) {
    if (!bridge.attached()) return {std::move(job.alias), job.metadata->placeholder_result()};
    auto outcome = bridge.call_tool(job.metadata->server, job.metadata->tool,
                                    json::JsonValue(std::move(job.arguments)),
                                    operation_of(*job.metadata));
    return {std::move(job.alias), value_of(std::move(outcome))};
}

std::vector<FieldResult> resolve_tool_jobs(bridge::TokioCallBridge& bridge,
                                           std::vector<ToolFieldJob> jobs) {
    std::vector<FieldResult> results;
    results.reserve(jobs.size());
    if (jobs.size() < 2) {
        for (ToolFieldJob& job : jobs) results.push_back(resolve_tool_field(bridge, std::move(job)));
        return results;
    }
    // Every job reads the flag as it starts, in job order; those that find the
    // bridge attached go out together as one batch.
    std::vector<bridge::ToolCallRequest> calls;
    std::vector<std::size_t> called;  // job positions of the calls
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        ToolFieldJob& job = jobs[i];
        if (!bridge.attached()) {
            results.emplace_back(std::move(job.alias), job.metadata->placeholder_result());
            continue;
        }
        calls.push_back(bridge::ToolCallRequest{job.metadata->server, job.metadata->tool,
                                                json::JsonValue(std::move(job.arguments)),
                                                operation_of(*job.metadata)});
        called.push_back(i);
        results.emplace_back(std::move(job.alias), json::JsonValue());
    }
    if (!calls.empty()) {
        auto outcomes = bridge.call_tools(std::move(calls));
        for (std::size_t k = 0; k < outcomes.size(); ++k)
            results[called[k]].second = value_of(std::move(outcomes[k]));
    }
    return results;
}

}  // namespace zarn::execution
