#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/text_store.hpp"
#include "catalogue/tool_metadata.hpp"
#include "common/result.hpp"

namespace zarn::catalogue {

// The engine's tools in catalogue order, never changed after construction,
// with an index from GraphQL field name to the first tool carrying it.
class Catalogue {
public:
    Catalogue();
    // The catalogue keeps its own copies of the records' texts.
    explicit Catalogue(std::vector<ToolMetadata> tools);

    // Absent or blank text gives the empty catalogue; text that is not JSON
    // gives "invalid catalogue JSON: {}".
    [[nodiscard]] static Result<Catalogue> from_json(std::optional<std::string_view> catalogue_json);

    [[nodiscard]] const std::vector<ToolMetadata>& tools() const noexcept { return tools_; }
    [[nodiscard]] std::size_t size() const noexcept { return tools_.size(); }

    // The first tool in catalogue order whose field is exactly `field`.
    [[nodiscard]] const ToolMetadata* find_field(std::string_view field) const noexcept;

    // "servers" as JSON text: one entry per distinct server, in ascending byte
    // order of the server, {"description","name","readOnlyCount","toolCount"}.
    // "search": one entry per tool, in catalogue order,
    // {"description","field","readOnly","server","tool"}. Each is written on
    // first use and kept: the catalogue never changes. Safe to call from any
    // number of threads.
    [[nodiscard]] const std::string& server_summaries_text() const;
    [[nodiscard]] const std::string& search_hits_text() const;

private:
    // One distinct server; its texts are the catalogue's. The description is
    // the first one given by a tool of the server.
    struct ServerSummary {
        std::string_view name;
        std::optional<std::string_view> description;
        std::uint64_t tool_count = 0;
        std::uint64_t read_only_count = 0;
    };
    // In ascending byte order of the server.
    [[nodiscard]] std::vector<ServerSummary> summarise_servers() const;

    // Records and the store that keeps every text they view.
    struct KeptTools {
        std::vector<ToolMetadata> tools;
        TextStore texts;
    };
    explicit Catalogue(KeptTools kept);

    TextStore texts_;  // every text that tools_ views
    std::vector<ToolMetadata> tools_;
    // A hash table by field with open addressing: each slot holds a position
    // in tools_ plus one, or 0 when empty; of equal fields only the first in
    // catalogue order is entered. The slot count is a power of two, at least
    // twice the number of tools, so probe runs stay short.
    std::vector<std::uint32_t> field_slots_;

    struct TextCache {
        std::once_flag servers_once;
        std::once_flag search_once;
        std::string servers;
        std::string search;
    };
    std::unique_ptr<TextCache> text_cache_;  // never null but in a moved-from catalogue
};

}  // namespace zarn::catalogue
