#pragma once

#include <string_view>

namespace zarn {

// Trims characters with the Unicode White_Space property from both ends of
// UTF-8 text. Inner white space is kept; invalid UTF-8 is never trimmed.
[[nodiscard]] std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

// Whether every byte of `text` is below 0x80.
[[nodiscard]] bool is_ascii(std::string_view text) noexcept;

[[nodiscard]] inline bool is_unicode_blank(std::string_view text) noexcept {
    return trim_unicode_whitespace(text).empty();
}

}  // namespace zarn
