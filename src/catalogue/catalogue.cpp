#include "catalogue/catalogue.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <string>

#include "common/bytes.hpp"
#include "common/stop.hpp"
#include "common/unicode.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace zarn::catalogue {
namespace {

using json::JsonValue;

// Walks each element of a root array as the reader hands it over, just as
// the walk of the whole array would.
class ToolCollector final : public json::ElementConsumer {
public:
    ToolCollector(TextStore& texts, std::vector<ToolMetadata>& tools) noexcept : texts_(texts), tools_(tools) {}
    void take(JsonValue element) override {
        collect_tool_metadata(element, std::nullopt, std::nullopt, texts_, tools_);
    }

private:
    TextStore& texts_;
    std::vector<ToolMetadata>& tools_;
};

// The record with its texts kept in `texts`.
ToolMetadata kept_in(TextStore& texts, const ToolMetadata& tool) {
    ToolMetadata kept = tool;
    kept.server = texts.keep(tool.server);
    if (tool.server_description) kept.server_description = texts.keep(*tool.server_description);
    kept.tool = texts.keep(tool.tool);
    kept.description = texts.keep(tool.description);
    kept.field = texts.keep(tool.field);
    return kept;
}

// A field name's slot: eight bytes at a time, each word mixed in by a
// multiply; the last word overlaps the one before it rather than looping on
// bytes. Names are short, and std::hash costs several times this on them.
std::size_t field_hash(std::string_view field) noexcept {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    std::uint64_t hash = field.size() * kMultiplier;
    const auto mix = [&hash](std::uint64_t word) {
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    };
    const char* p = field.data();
    const std::size_t n = field.size();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 <= n; i += 8) mix(bytes::load<std::uint64_t>(p + i));
        if (n % 8 != 0) mix(bytes::load<std::uint64_t>(p + n - 8));
    } else if (n >= 4) {
        mix(bytes::load_4_to_8(p, n));
    } else {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
        mix(word);
    }
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

}  // namespace

Catalogue::Catalogue() : text_cache_(std::make_unique<TextCache>()) {}

Catalogue::Catalogue(std::vector<ToolMetadata> tools)
    : Catalogue([&] {
          KeptTools kept{std::move(tools), {}};
          for (ToolMetadata& tool : kept.tools) tool = kept_in(kept.texts, tool);
          return kept;
      }()) {}

Catalogue::Catalogue(KeptTools kept)
    : texts_(std::move(kept.texts)), tools_(std::move(kept.tools)), text_cache_(std::make_unique<TextCache>()) {
    // A record alone takes tens of bytes, so no catalogue that fits in memory has
    // more positions than a slot can hold.
    if (tools_.size() >= std::numeric_limits<std::uint32_t>::max()) stop("catalogue too large to index");
    field_slots_.assign(std::bit_ceil(std::max<std::size_t>(2 * tools_.size(), 8)), 0);
    const std::size_t mask = field_slots_.size() - 1;
    for (std::size_t i = 0; i < tools_.size(); ++i) {
        ToolMetadata& tool = tools_[i];
        tool.plain_names = !json::needs_escape(tool.server) && !json::needs_escape(tool.tool);
        const std::string_view field = tool.field;
        for (std::size_t slot = field_hash(field) & mask;; slot = (slot + 1) & mask) {
            if (field_slots_[slot] == 0) {
                field_slots_[slot] = static_cast<std::uint32_t>(i + 1);
                break;
            }
            if (tools_[field_slots_[slot] - 1].field == field) break;  // the first one stays
        }
    }
}

Result<Catalogue> Catalogue::from_json(std::optional<std::string_view> catalogue_json) {
    if (!catalogue_json || is_unicode_blank(*catalogue_json)) return Catalogue{};
    // Only what the walk reads is built; the rest (input schemas above all)
    // is checked and dropped as it is read. The elements of a root array (a
    // server each, as catalogues are usually laid out) are walked one by one
    // as they are read, so the document is never built whole.
    TextStore texts;
    std::vector<ToolMetadata> tools;
    ToolCollector collector(texts, tools);
    auto document = json::read_json(*catalogue_json, tool_metadata_read_plan(), collector);
    if (!document) return fail("invalid catalogue JSON: " + document.error().to_string());
    collect_tool_metadata(*document, texts, tools);  // a root that is not an array
    return Catalogue(KeptTools{std::move(tools), std::move(texts)});
}

const ToolMetadata* Catalogue::find_field(std::string_view field) const noexcept {
    if (field_slots_.empty()) return nullptr;  // a moved-from catalogue
    const std::size_t mask = field_slots_.size() - 1;
    for (std::size_t slot = field_hash(field) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = field_slots_[slot];
        if (entry == 0) return nullptr;
        if (tools_[entry - 1].field == field) return &tools_[entry - 1];
    }
}

std::vector<Catalogue::ServerSummary> Catalogue::summarise_servers() const {
    std::map<std::string_view, ServerSummary> servers;
    for (const ToolMetadata& tool : tools_) {
        auto [it, inserted] = servers.try_emplace(tool.server);
        ServerSummary& summary = it->second;
        if (inserted) summary.name = tool.server;
        ++summary.tool_count;
        if (tool.read_only) ++summary.read_only_count;
        if (!summary.description) summary.description = tool.server_description;
    }
    std::vector<ServerSummary> summaries;
    summaries.reserve(servers.size());
    for (const auto& [name, summary] : servers) summaries.push_back(summary);
    return summaries;
}

// The two texts below are written straight from the records: no tree of the
// lists is built, so a thread that answers the first `{ servers search }`
// does not fill its block cache with one.

const std::string& Catalogue::server_summaries_text() const {
    std::call_once(text_cache_->servers_once, [this] {
        std::string& out = text_cache_->servers;
        out.push_back('[');
        for (const ServerSummary& summary : summarise_servers()) {
            if (out.size() > 1) out.push_back(',');
            out.append(R"({"description":)");
            json::write_string(summary.description.value_or(std::string_view()), out);
            out.append(R"(,"name":)");
            json::write_string(summary.name, out);
            out.append(R"(,"readOnlyCount":)");
            json::write_unsigned(summary.read_only_count, out);
            out.append(R"(,"toolCount":)");
            json::write_unsigned(summary.tool_count, out);
            out.push_back('}');
        }
        out.push_back(']');
    });
    return text_cache_->servers;
}

const std::string& Catalogue::search_hits_text() const {
    std::call_once(text_cache_->search_once, [this] {
        std::string& out = text_cache_->search;
        constexpr std::size_t kFixedBytesPerHit = 72;  // the keys, quotes, punctuation and flag
        std::size_t size = 2;
        for (const ToolMetadata& tool : tools_)
            size +=
                kFixedBytesPerHit + tool.description.size() + tool.field.size() + tool.server.size() + tool.tool.size();
        out.reserve(size);
        out.push_back('[');
        for (const ToolMetadata& tool : tools_) {
            if (out.size() > 1) out.push_back(',');
            out.append(R"({"description":)");
            json::write_string(tool.description, out);
            out.append(R"(,"field":)");
            json::write_string(tool.field, out);
            out.append(tool.read_only ? R"(,"readOnly":true,"server":)" : R"(,"readOnly":false,"server":)");
            json::write_string(tool.server, out);
            out.append(R"(,"tool":)");
            json::write_string(tool.tool, out);
            out.push_back('}');
        }
        out.push_back(']');
    });
    return text_cache_->search;
}

}  // namespace zarn::catalogue
