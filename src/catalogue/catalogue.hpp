#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "catalogue/tool_metadata.hpp"
#include "common/result.hpp"
#include "json/value.hpp"

namespace zarn::catalogue {

// The engine's tools in catalogue order, never changed after construction,
// with an index from GraphQL field name to the first tool carrying it.
class Catalogue {
public:
    Catalogue() = default;
    explicit Catalogue(std::vector<ToolMetadata> tools);

    // Absent or blank text gives the empty catalogue; text that is not JSON
    // gives "invalid catalogue JSON: {}".
    [[nodiscard]] static Result<Catalogue> from_json(std::optional<std::string_view> catalogue_json);

    [[nodiscard]] const std::vector<ToolMetadata>& tools() const noexcept { return tools_; }
    [[nodiscard]] std::size_t size() const noexcept { return tools_.size(); }

    // The first tool in catalogue order whose field is exactly `field`.
    [[nodiscard]] const ToolMetadata* find_field(std::string_view field) const noexcept;

    // One entry per distinct server, in ascending byte order of the server.
    [[nodiscard]] json::JsonArray server_summaries() const;
    // One entry per tool, in catalogue order.
    [[nodiscard]] json::JsonArray search_hits() const;

private:
    std::vector<ToolMetadata> tools_;
    // Positions in tools_ sorted by field; of equal fields only the first in
    // catalogue order is kept.
    std::vector<std::size_t> field_index_;
};

}  // namespace zarn::catalogue
