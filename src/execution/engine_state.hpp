#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/call_bridge.hpp"
#include "bridge/runtime.hpp"
#include "catalogue/catalogue.hpp"
#include "common/result.hpp"

namespace zarn::execution {

// Everything a SchemaEngine holds: its catalogue, its own worker runtime and
// its own call bridge. The runtime and the bridge are shared with calls in
// progress that need them beyond the engine.
struct EngineState {
    catalogue::Catalogue tools;
    std::shared_ptr<bridge::Runtime> runtime;
    std::shared_ptr<bridge::TokioCallBridge> bridge;

    EngineState() = default;
    EngineState(EngineState&&) noexcept = default;
    EngineState& operator=(EngineState&&) noexcept = default;
    // Drops the catalogue first, then the runtime share, then the bridge share.
    ~EngineState();
};

// Reads the catalogue, then builds the runtime and the bridge (detached,
// counting from 1). Absent or blank text gives the empty catalogue.
[[nodiscard]] Result<EngineState> from_catalogue_json(std::optional<std::string_view> catalogue_json);

// Runs one query on the calling thread and returns the response document.
// Query-level failures are error documents; only broken invariants throw.
[[nodiscard]] std::string execute_json(const EngineState& engine, std::string_view query,
                                       std::optional<std::string_view> variables_json);

// The same into `response`, which is cleared first: a caller answering query
// after query can keep one buffer's room.
void execute_json(const EngineState& engine, std::string_view query, std::optional<std::string_view> variables_json,
                  std::string& response);

}  // namespace zarn::execution
