// The execute path of the core without Python: construction from catalogue
// text, built-in fields, tool fields with the bridge detached (placeholder
// results), a large variables document, and the wake-up floor that every
// bridge round trip pays. Inputs come from fixed seeds and have the shapes
// that bench/peers.py measures from Python, so callgrind profiles taken here
// explain its figures (bench/README.md has the callgrind command lines).
// Every benchmark checks its response against the expected document first;
// run_query stays a function of its own so a profile can collect just the loop.
#include <benchmark/benchmark.h>

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "execution/engine_state.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zarn::execution {
namespace {

using json::JsonArray;
using json::JsonObject;
using json::JsonValue;

constexpr std::uint64_t kSeed = 20261208;

constexpr std::array<std::string_view, 20> kServers{
    "files",        "github",  "tracker", "slack", "postgres", "calendar", "weather", "browser", "k8s",       "mail",
    "search-index", "billing", "crm",     "docs",  "maps",     "metrics",  "vault",   "ci",      "translate", "notes"};
constexpr std::array<std::string_view, 30> kVerbs{
    "list",    "get",     "create", "update",  "delete",    "search",   "read",    "write",    "move",     "copy",
    "archive", "restore", "export", "import",  "sync",      "describe", "watch",   "approve",  "merge",    "close",
    "open",    "assign",  "label",  "comment", "summarize", "render",   "resolve", "validate", "schedule", "cancel"};
constexpr std::array<std::string_view, 30> kNouns{
    "file",   "issue",    "pull request", "branch",   "commit",   "channel",    "message", "thread",
    "table",  "query",    "event",        "forecast", "page",     "screenshot", "pod",     "deployment",
    "log",    "mail",     "draft",        "invoice",  "customer", "document",   "route",   "dashboard",
    "secret", "pipeline", "artifact",     "note",     "report",   "alert"};
constexpr std::array<std::string_view, 40> kWords{
    "the",      "of",         "to",      "and",     "for",    "with",   "from",   "every",  "each",     "current",
    "project",  "repository", "record",  "entries", "result", "page",   "item",   "field",  "value",    "text",
    "summary",  "status",     "owner",   "date",    "range",  "limit",  "cursor", "filter", "order",    "newest",
    "matching", "optional",   "returns", "lists",   "reads",  "writes", "checks", "groups", "markdown", "json"};

// Tools in catalogue order, as the engine reads them.
struct GeneratedTool {
    std::string server;
    std::string tool;
    std::string field;
    bool read_only = true;
};

struct GeneratedCatalogue {
    std::vector<GeneratedTool> tools;
    std::string text;
};

class Maker {
public:
    explicit Maker(std::uint64_t seed) : random_(seed) {}

    template <std::size_t N>
    std::string_view pick(const std::array<std::string_view, N>& words) {
        return words[std::uniform_int_distribution<std::size_t>(0, N - 1)(random_)];
    }
    std::size_t between(std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(random_); }

    std::string sentence(std::size_t low, std::size_t high) {
        std::string out;
        for (std::size_t i = 0, n = between(low, high); i < n; ++i) {
            if (i != 0) out += ' ';
            out += pick(kWords);
        }
        return out;
    }

private:
    std::mt19937_64 random_;
};

std::string field_part(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        out += keep ? c : '_';
    }
    return out;
}

// `tool_count` tools spread over `server_count` servers: names, descriptions,
// annotations on most tools and a small input schema on each (which the
// engine skips), about 440 bytes of text per tool.
GeneratedCatalogue make_catalogue(std::size_t tool_count, std::size_t server_count) {
    Maker maker(kSeed);
    GeneratedCatalogue out;
    JsonArray servers;
    for (std::size_t s = 0; s < server_count; ++s) {
        std::string server(kServers[s % kServers.size()]);
        if (s >= kServers.size()) server += "-" + std::to_string(s / kServers.size());
        JsonArray tools;
        std::vector<std::string> fields;
        const std::size_t count = tool_count / server_count + (s < tool_count % server_count ? 1 : 0);
        while (tools.size() < count) {
            const std::string_view verb = maker.pick(kVerbs);
            const std::string_view noun = maker.pick(kNouns);
            std::string name = std::string(verb) + (maker.chance(0.5) ? "-" : "_") + std::string(noun);
            std::string field = field_part(server) + "_" + field_part(name);
            if (std::find(fields.begin(), fields.end(), field) != fields.end()) continue;
            fields.push_back(field);
            const bool read_only = verb != "create" && verb != "update" && verb != "delete" && verb != "write";
            JsonObject entry{
                {"name", name},
                {"description", std::string(verb) + " " + std::string(noun) + ": " + maker.sentence(10, 24)}};
            if (maker.chance(0.7)) {
                entry.insert_or_assign("annotations", JsonObject{{"title", std::string(noun)},
                                                                 {"readOnlyHint", read_only},
                                                                 {"destructiveHint", verb == "delete"}});
            }
            JsonObject properties;
            for (std::size_t p = 0, n = maker.between(1, 3); p < n; ++p) {
                properties.insert_or_assign(std::string(maker.pick(kWords)),
                                            JsonObject{{"type", "string"}, {"description", maker.sentence(3, 7)}});
            }
            entry.insert_or_assign("inputSchema",
                                   JsonObject{{"type", "object"}, {"properties", std::move(properties)}});
            const bool effective = !entry.contains("annotations") || read_only;
            out.tools.push_back({server, name, std::move(field), effective});
            tools.emplace_back(std::move(entry));
        }
        JsonObject entry{{"server", server}, {"tools", std::move(tools)}};
        if (s % 3 != 2) entry.insert_or_assign("serverDescription", "The " + server + " server");
        servers.emplace_back(std::move(entry));
    }
    out.text = json::to_json_text(JsonValue(std::move(servers)));
    return out;
}

const GeneratedCatalogue& small_catalogue() {
    static const GeneratedCatalogue catalogue = make_catalogue(1000, 10);
    return catalogue;
}

const GeneratedCatalogue& large_catalogue() {
    static const GeneratedCatalogue catalogue = make_catalogue(10000, 100);
    return catalogue;
}

const EngineState& engine_over(const GeneratedCatalogue& catalogue) {
    // Each catalogue gets one engine for the whole run.
    static std::vector<std::pair<const GeneratedCatalogue*, EngineState>> engines;
    for (auto& [key, engine] : engines)
        if (key == &catalogue) return engine;
    auto engine = from_catalogue_json(catalogue.text);
    if (!engine) std::abort();
    engines.emplace_back(&catalogue, std::move(*engine));
    return engines.back().second;
}

JsonValue placeholder(const GeneratedTool& tool) {
    return JsonObject{
        {"isError", true},
        {"json", nullptr},
        {"text", "SchemaEngine stub resolved " + tool.server + "." + tool.tool + " but CallBridge is not wired yet"}};
}

JsonValue success(JsonObject data) { return JsonObject{{"data", std::move(data)}, {"errors", JsonArray{}}}; }

// `count` distinct tools spread over the catalogue.
std::vector<const GeneratedTool*> spread(const GeneratedCatalogue& catalogue, std::size_t count) {
    std::vector<const GeneratedTool*> out;
    const std::size_t step = catalogue.tools.size() / count;
    for (std::size_t i = 0; i < count; ++i) out.push_back(&catalogue.tools[i * step]);
    return out;
}

// One field per tool with three small arguments, as peers.py writes them.
std::string tool_fields_query(const std::vector<const GeneratedTool*>& tools) {
    std::string query = "{\n";
    for (std::size_t i = 0; i < tools.size(); ++i) {
        query += "  " + tools[i]->field + "(query: \"term " + std::to_string(i) +
                 "\", limit: " + std::to_string(5 + i % 20) + ", verbose: " + (i % 2 == 0 ? "true" : "false") + ")\n";
    }
    return query + "}";
}

JsonValue placeholders_expected(const std::vector<const GeneratedTool*>& tools) {
    JsonObject data;
    for (const GeneratedTool* tool : tools) data.insert_or_assign(tool->field, placeholder(*tool));
    return success(std::move(data));
}

// The response parsed must equal `expected`; otherwise the benchmark is skipped.
bool response_is(benchmark::State& state, const std::string& response, const JsonValue& expected) {
    auto parsed = json::read_json(response);
    if (parsed && *parsed == expected) return true;
    state.SkipWithError(("unexpected response: " + response.substr(0, 200)).c_str());
    return false;
}

[[gnu::noinline]] void run_query(benchmark::State& state, const EngineState& engine, const std::string& query,
                                 std::optional<std::string_view> variables = std::nullopt) {
    for (auto _ : state) {
        std::string response = execute_json(engine, query, variables);
        benchmark::DoNotOptimize(response);
    }
}

// W1
void BM_Typename(benchmark::State& state) {
    const EngineState& engine = engine_over(small_catalogue());
    const std::string query = "{ __typename }";
    if (execute_json(engine, query, std::nullopt) != R"({"data":{"__typename":"Query"},"errors":[]})") {
        state.SkipWithError("unexpected response");
        return;
    }
    run_query(state, engine, query);
}
BENCHMARK(BM_Typename);

// W2 and W8: tool fields with the bridge detached; items are fields.
void BM_ToolFields(benchmark::State& state) {
    const EngineState& engine = engine_over(small_catalogue());
    const auto tools = spread(small_catalogue(), static_cast<std::size_t>(state.range(0)));
    const std::string query = tool_fields_query(tools);
    if (!response_is(state, execute_json(engine, query, std::nullopt), placeholders_expected(tools))) return;
    run_query(state, engine, query);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ToolFields)->Arg(8)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// W6: both catalogue summaries of 10,000 tools.
void BM_ServersSearch(benchmark::State& state) {
    const GeneratedCatalogue& catalogue = large_catalogue();
    const EngineState& engine = engine_over(catalogue);
    const std::string query = "{ servers search }";
    const std::string response = execute_json(engine, query, std::nullopt);
    auto parsed = json::read_json(response);
    const JsonObject* data = parsed && parsed->is_object() ? parsed->as_object().find("data")->if_object() : nullptr;
    const JsonValue* search = data != nullptr ? data->find("search") : nullptr;
    const JsonValue* servers = data != nullptr ? data->find("servers") : nullptr;
    if (search == nullptr || !search->is_array() || search->as_array().size() != catalogue.tools.size() ||
        servers == nullptr || !servers->is_array() || servers->as_array().size() != 100 ||
        *search->as_array().back().as_object().find("field") != JsonValue(catalogue.tools.back().field)) {
        state.SkipWithError("unexpected response");
        return;
    }
    run_query(state, engine, query);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(response.size()));
}
BENCHMARK(BM_ServersSearch)->Unit(benchmark::kMillisecond);

// W7: about 1 MB of variables in one argument; bytes are variables text.
std::string large_variables(std::size_t bytes) {
    Maker maker(kSeed);
    std::string out = R"({"payload":{"records":[)";
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        if (i != 0) out += ',';
        out += R"({"id":)" + std::to_string(i) + R"(,"name":")" + std::string(maker.pick(kNouns)) + " " +
               std::to_string(i) + R"(","email":"user)" + std::to_string(i) + R"(@example.org","active":)" +
               (maker.chance(0.8) ? "true" : "false") + R"(,"score":)" + std::to_string(maker.between(0, 99999)) +
               ".5" + R"(,"tags":[")" + std::string(maker.pick(kWords)) + R"(",")" + std::string(maker.pick(kWords)) +
               R"("],"notes":")" + maker.sentence(4, 14) + R"(","owner":)" +
               (maker.chance(0.2) ? std::string("null")
                                  : R"({"id":)" + std::to_string(maker.between(1, 10000)) + R"(,"team":")" +
                                        std::string(maker.pick(kNouns)) + R"("})") +
               "}";
    }
    return out + R"(],"count":1}})";
}

void run_large_variables(benchmark::State& state, const std::string& variables) {
    const GeneratedCatalogue& catalogue = small_catalogue();
    const EngineState& engine = engine_over(catalogue);
    const GeneratedTool& tool = catalogue.tools.front();
    const std::string query = "query Upload($payload: JSON) { " + tool.field + "(data: $payload) }";
    if (!response_is(state, execute_json(engine, query, variables),
                     success(JsonObject{{tool.field, placeholder(tool)}})))
        return;
    run_query(state, engine, query, variables);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(variables.size()));
}

void BM_LargeVariables(benchmark::State& state) { run_large_variables(state, large_variables(1'000'000)); }
BENCHMARK(BM_LargeVariables)->Unit(benchmark::kMillisecond);

// The same document as Python's json.dumps writes it by default, with a space
// after every ":" and "," between tokens (W7 from Python reads this shape).
std::string spaced(std::string_view compact) {
    std::string out;
    out.reserve(compact.size() + compact.size() / 8);
    bool in_string = false;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        out.push_back(c);
        if (in_string) {
            if (c == '\\') out.push_back(compact[++i]);
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ':' || c == ',') {
            out.push_back(' ');
        }
    }
    return out;
}

void BM_LargeVariablesSpaced(benchmark::State& state) {
    run_large_variables(state, spaced(large_variables(1'000'000)));
}
BENCHMARK(BM_LargeVariablesSpaced)->Unit(benchmark::kMillisecond);

// W5: an engine from 10,000 tools on 100 servers; destroying it is not timed.
void BM_Construct(benchmark::State& state) {
    const GeneratedCatalogue& catalogue = large_catalogue();
    std::optional<EngineState> engine;
    for (auto _ : state) {
        auto built = from_catalogue_json(catalogue.text);
        state.PauseTiming();
        if (!built || built->tools.size() != catalogue.tools.size()) {
            state.SkipWithError("construction failed");
            break;
        }
        engine.emplace(std::move(*built));
        engine.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(catalogue.text.size()));
}
BENCHMARK(BM_Construct)->Unit(benchmark::kMillisecond);

// W5's parts: reading the catalogue as construction does (only what the tool
// walk looks at is built), reading all of it, and the catalogue without the
// runtime.
void read_catalogue_text(benchmark::State& state, const json::ReadPlan* plan) {
    const GeneratedCatalogue& catalogue = large_catalogue();
    for (auto _ : state) {
        auto value = plan != nullptr ? json::read_json(catalogue.text, *plan) : json::read_json(catalogue.text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(catalogue.text.size()));
}

void BM_ConstructReadJsonOnly(benchmark::State& state) {
    read_catalogue_text(state, &catalogue::tool_metadata_read_plan());
}
BENCHMARK(BM_ConstructReadJsonOnly)->Unit(benchmark::kMillisecond);

void BM_ReadWholeCatalogue(benchmark::State& state) { read_catalogue_text(state, nullptr); }
BENCHMARK(BM_ReadWholeCatalogue)->Unit(benchmark::kMillisecond);

void BM_ConstructCatalogueOnly(benchmark::State& state) {
    const GeneratedCatalogue& catalogue = large_catalogue();
    for (auto _ : state) {
        auto tools = catalogue::Catalogue::from_json(catalogue.text);
        benchmark::DoNotOptimize(tools);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(catalogue.text.size()));
}
BENCHMARK(BM_ConstructCatalogueOnly)->Unit(benchmark::kMillisecond);

// The floor under every bridge round trip (W3): two threads that take turns,
// each sleeping on a futex word of its own until the other wakes it (the
// pattern of the runtime's Parker). Arg 1 pins them to two cores, arg 0 to
// one core; an iteration is a round trip, two wake-ups. Waits are bounded so
// that a lost wake-up is counted ("stalls") instead of hanging the run.
void pin_to(unsigned cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

class FutexWord {
public:
    void post() noexcept {
        word_.fetch_add(1, std::memory_order_release);
        syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
    // Sleeps until the word moves past `seen`; returns the new value.
    std::uint32_t wait_past(std::uint32_t seen, std::uint64_t& stalls) noexcept {
        constexpr timespec kBound{0, 50'000'000};
        while (true) {
            const std::uint32_t now = word_.load(std::memory_order_acquire);
            if (now != seen) return now;
            const long rc = syscall(SYS_futex, &word_, FUTEX_WAIT_PRIVATE, seen, &kBound, nullptr, 0);
            if (rc != 0 && errno == ETIMEDOUT && word_.load(std::memory_order_acquire) != seen) ++stalls;
        }
    }

private:
    std::atomic<std::uint32_t> word_{0};
};

void BM_WakeUpFloor(benchmark::State& state) {
    const bool two_cores = state.range(0) != 0;
    if (two_cores && std::thread::hardware_concurrency() < 2) {
        state.SkipWithError("needs two cores");
        return;
    }
    FutexWord forth;  // the partner sleeps on it
    FutexWord back;   // the benchmark thread sleeps on it
    std::atomic<bool> stopping{false};
    std::uint64_t stalls = 0;
    std::uint64_t partner_stalls = 0;
    cpu_set_t before;
    pthread_getaffinity_np(pthread_self(), sizeof(before), &before);
    pin_to(0);
    std::thread partner([&] {
        pin_to(two_cores ? 1 : 0);
        std::uint32_t seen = 0;
        while (true) {
            seen = forth.wait_past(seen, partner_stalls);
            if (stopping.load(std::memory_order_acquire)) return;
            back.post();
        }
    });
    std::uint32_t seen = 0;
    for (auto _ : state) {
        forth.post();
        seen = back.wait_past(seen, stalls);
    }
    stopping.store(true, std::memory_order_release);
    forth.post();
    partner.join();
    pthread_setaffinity_np(pthread_self(), sizeof(before), &before);
    state.counters["stalls"] = static_cast<double>(stalls + partner_stalls);
}
BENCHMARK(BM_WakeUpFloor)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zarn::execution
