#pragma once

#include <expected>
#include <string>

namespace zarn {

// Every fallible operation returns its value or an owned, user-facing message.
template <class T>
using Result = std::expected<T, std::string>;

using Status = std::expected<void, std::string>;

inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace zarn
