#pragma once

#include <exception>
#include <string>
#include <utility>

namespace zarn {

// A broken invariant (a poisoned lock, an unwritable response, a runtime that
// cannot start). It carries a fixed message and is caught only at the Python
// boundary, which raises it as PanicException.
class InternalStop final : public std::exception {
public:
    explicit InternalStop(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void stop(std::string message) { throw InternalStop(std::move(message)); }

}  // namespace zarn
