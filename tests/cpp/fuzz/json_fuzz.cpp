// The JSON reader and writer: whatever the reader accepts, the writer turns
// into compact text that reads back to the same value and writes to the same
// text again; a rejection names a position inside the input. The first eight
// bytes, taken as a double, must also survive writing and reading unchanged
// to the bit. Reading with a plan that prunes members, and handing a root
// array's elements over one by one, give the same verdict and the same error
// as reading everything.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace {

using namespace zarn;

// Keeps members whose key is shorter than two bytes, and nothing below a key
// that starts with "k".
json::ReadPlan::Context short_keys(json::ReadPlan::Context object, std::string_view key) noexcept {
    if (object == 2 || key.size() >= 2) return json::ReadPlan::kPruned;
    return key == "k" ? 2 : 1;
}

constexpr json::ReadPlan kShortKeys{1, &short_keys};

// Counts what a streamed read hands over.
class CountingConsumer final : public json::ElementConsumer {
public:
    void take(json::JsonValue) override { ++taken; }
    std::size_t taken = 0;
};

void check_pruned_read(std::string_view text, const std::expected<json::JsonValue, json::JsonReadError>& full) {
    const auto pruned = json::read_json(text, kShortKeys);
    fuzz::expect(pruned.has_value() == full.has_value(), "pruning keeps the verdict");
    CountingConsumer consumer;
    const auto streamed = json::read_json(text, kShortKeys, consumer);
    fuzz::expect(streamed.has_value() == full.has_value(), "streaming keeps the verdict");
    if (!full) {
        fuzz::expect(pruned.error().to_string() == full.error().to_string(), "pruning keeps the error",
                     pruned.error().to_string());
        fuzz::expect(streamed.error().to_string() == full.error().to_string(), "streaming keeps the error",
                     streamed.error().to_string());
        return;
    }
    const json::JsonArray* root = full->if_array();
    fuzz::expect(consumer.taken == (root != nullptr ? root->size() : 0), "streaming hands over each element");
    if (root != nullptr) {
        fuzz::expect(streamed->if_array() != nullptr && streamed->if_array()->empty(),
                     "a streamed root array comes back empty");
    }
}

void check_document(std::string_view text) {
    auto first = json::read_json(text);
    check_pruned_read(text, first);
    if (!first) {
        const json::JsonReadError& error = first.error();
        fuzz::expect(!error.description.empty(), "a rejection has a description");
        const std::size_t lines = 1 + static_cast<std::size_t>(std::ranges::count(text, '\n'));
        fuzz::expect(error.line >= 1 && error.line <= lines, "the line lies inside the input", error.to_string());
        fuzz::expect(error.column <= text.size(), "the column lies inside the input", error.to_string());
        return;
    }
    const std::string once = json::to_json_text(*first);
    fuzz::expect(fuzz::is_compact_json(once), "the writer writes compact JSON", once);
    auto second = json::read_json(once);
    fuzz::expect(second.has_value(), "written text reads back",
                 second ? std::string_view{} : std::string_view(second.error().description));
    fuzz::expect(*second == *first, "the value survives a round trip", once);
    const std::string twice = json::to_json_text(*second);
    fuzz::expect(twice == once, "writing is stable", twice);
}

void check_double(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) return;
    double d;
    std::memcpy(&d, data, sizeof d);
    std::string text;
    json::write_double(d, text);
    if (!std::isfinite(d)) {
        fuzz::expect(text == "null", "a non-finite double is written null", text);
        return;
    }
    auto back = json::read_json(text);
    fuzz::expect(back.has_value() && back->if_double() != nullptr, "a double reads back as a double", text);
    fuzz::expect(std::bit_cast<std::uint64_t>(*back->if_double()) == std::bit_cast<std::uint64_t>(d),
                 "a double reads back to the same bits", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_document(fuzz::as_text(data, size));
    check_double(data, size);
    return 0;
}
