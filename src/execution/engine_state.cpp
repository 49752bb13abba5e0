#include "execution/engine_state.hpp"

namespace zarn::execution {

// Written out, because members are destroyed in reverse: an engine drops its
// catalogue first, then its share of the runtime, then its share of the
// bridge, and hosts see that order (the workers stop before the bridge share
// goes). Calls still running hold shares of their own and are not affected.
EngineState::~EngineState() {
    tools = catalogue::Catalogue{};
    runtime.reset();
    bridge.reset();
}

Result<EngineState> from_catalogue_json(std::optional<std::string_view> catalogue_json) {
    auto tools = catalogue::Catalogue::from_json(catalogue_json);
    if (!tools) return fail(std::move(tools.error()));
    EngineState state;
    state.tools = std::move(*tools);
    state.runtime = bridge::build_runtime();
    state.bridge = std::make_shared<bridge::TokioCallBridge>();
    return state;
}

}  // namespace zarn::execution
