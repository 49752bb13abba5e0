#include <cstdint>
#include <optional>
#include <vector>

#include "common/unicode.hpp"
#include "execution/engine_state.hpp"
#include "execution/response.hpp"
#include "execution/tool_job.hpp"
#include "query/selection.hpp"
#include "query/variables.hpp"

namespace zarn::execution {
namespace {

enum class BuiltIn : std::uint8_t { none, typename_, servers, search };

BuiltIn built_in_field(std::string_view name) noexcept {
    if (name == "__typename") return BuiltIn::typename_;
    if (name == "servers") return BuiltIn::servers;
    if (name == "search") return BuiltIn::search;
    return BuiltIn::none;
}

// "__typename"'s value as it is written.
const std::string kQueryTypenameText = R"("Query")";

DataMember built_in_member(std::string_view key, BuiltIn field, const catalogue::Catalogue& tools) {
    switch (field) {
        case BuiltIn::servers: return {key, &tools.server_summaries_text()};
        case BuiltIn::search: return {key, &tools.search_hits_text()};
        case BuiltIn::typename_:
        case BuiltIn::none: break;
    }
    return {key, &kQueryTypenameText};
}

// The three lists every query needs, kept per thread so that a query of a
// few fields allocates none of them. A call works in the thread's lists and
// leaves them cleared; a call that somehow ran inside another on the same
// thread would find them in use and take lists of its own. A list grown past
// the bound is freed rather than kept.
struct ExecuteLists {
    std::vector<query::SelectedField> selected;
    std::vector<DataMember> members;
    std::vector<ToolFieldJob> jobs;
};

struct KeptLists {
    ExecuteLists lists;
    bool in_use = false;
};

thread_local KeptLists kept_lists;

template <class T>
void clear_for_reuse(std::vector<T>& list) noexcept {
    constexpr std::size_t kKeptCapacity = 64;
    if (list.capacity() > kKeptCapacity) std::vector<T>().swap(list);
    else list.clear();
}

class BorrowedLists {
public:
    BorrowedLists() noexcept : kept_(&kept_lists) {
        if (kept_->in_use) {
            kept_ = nullptr;
            own_.emplace();
        } else {
            kept_->in_use = true;
        }
    }
    BorrowedLists(const BorrowedLists&) = delete;
    BorrowedLists& operator=(const BorrowedLists&) = delete;
    ~BorrowedLists() {
        if (kept_ == nullptr) return;
        clear_for_reuse(kept_->lists.selected);
        clear_for_reuse(kept_->lists.members);
        clear_for_reuse(kept_->lists.jobs);
        kept_->in_use = false;
    }

    // own_ is set whenever kept_ is not.
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access)
    ExecuteLists& lists() noexcept { return kept_ != nullptr ? kept_->lists : *own_; }

private:
    KeptLists* kept_;
    std::optional<ExecuteLists> own_;
};

}  // namespace

std::string execute_json(const EngineState& engine, std::string_view query,
                         std::optional<std::string_view> variables_json) {
    std::string response;
    execute_json(engine, query, variables_json, response);
    return response;
}

void execute_json(const EngineState& engine, std::string_view query, std::optional<std::string_view> variables_json,
                  std::string& response) {
    response.clear();
    const auto fail_with = [&response](std::string_view message) { response = graphql_error(message); };
    const std::string_view trimmed = trim_unicode_whitespace(query);
    if (trimmed.empty()) return fail_with("GraphQL query must not be blank");

    auto variables = query::parse_variables(variables_json);
    if (!variables) return fail_with(variables.error());

    // The variables are not needed after the parse: values move into their
    // last reference.
    BorrowedLists borrowed;
    auto& [selected, members, jobs] = borrowed.lists();
    if (auto parsed = query::parse_top_level_fields(trimmed, std::move(*variables), selected); !parsed)
        return fail_with(parsed.error());
    if (selected.empty()) return fail_with("GraphQL query must select at least one top-level field");

    // The data map's members in insertion order: built-in values in selection
    // order, then tool values in job order; of equal keys the last one counts.
    members.reserve(selected.size());
    for (query::SelectedField& field : selected) {
        if (const BuiltIn built_in = built_in_field(field.name); built_in != BuiltIn::none) {
            members.push_back(built_in_member(field.alias, built_in, engine.tools));
            continue;
        }
        const catalogue::ToolMetadata* tool = engine.tools.find_field(field.name);
        if (tool == nullptr) return fail_with("unknown GraphQL field: " + std::string(field.name));
        if (jobs.empty()) jobs.reserve(selected.size());
        jobs.push_back(ToolFieldJob{field.alias, tool, std::move(field.arguments)});
    }

    resolve_tool_jobs(*engine.bridge, jobs, members);
    graphql_success(members, response);
}

}  // namespace zarn::execution
