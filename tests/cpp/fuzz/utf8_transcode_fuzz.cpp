// UTF-8 from Latin-1, UCS-2 and UCS-4 code units: the measured length and the
// written text, or the run of code points without a UTF-8 form, must be what
// a plain transcoder gives, one code point at a time. The first byte picks the
// width; the rest are the units, little-endian. A UCS-4 unit whose top bit is
// clear is taken modulo 0x110000 (surrogates included), so that most are code
// points; one with it set stays as it is, past the last code point.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../support/utf8_reference.hpp"
#include "common/utf8_transcode.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace zarn;

template <class Unit>
std::vector<Unit> units_from(const std::uint8_t* data, std::size_t size) {
    std::vector<Unit> units(size / sizeof(Unit));
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(Unit));
    if constexpr (sizeof(Unit) == 4)
        for (auto& unit : units)
            if ((unit >> 31) == 0) unit %= 0x110000;
    return units;
}

template <class Unit>
void check(const std::uint8_t* data, std::size_t size) {
    const std::vector<Unit> units = units_from<Unit>(data, size);
    const std::span<const Unit> text(units);
    const auto expected = testing::reference_utf8(text);
    const auto got = testing::transcode(text);
    fuzz::expect(got.has_value() == expected.has_value(), "the same verdict as the reference");
    if (expected) {
        fuzz::expect(*got == *expected, "the same UTF-8 as the reference", *got);
    } else {
        fuzz::expect(got.error() == expected.error(), "the same unencodable run as the reference");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
        case 0: check<std::uint8_t>(data + 1, size - 1); break;
        case 1: check<std::uint16_t>(data + 1, size - 1); break;
        default: check<std::uint32_t>(data + 1, size - 1); break;
    }
    return 0;
}
