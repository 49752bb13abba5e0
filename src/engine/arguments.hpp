#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/python.hpp"
#include "engine/text.hpp"

namespace zarn::engine {

// The parameters of one callable: names in order, the first `required` of
// them required. `callable` is the name used in binding messages, such as
// "SchemaEngine.execute()".
struct Signature {
    std::string_view callable;
    std::span<const char* const> names;
    std::size_t required;
};

// Binds fast-call arguments (positional values, then the values of the
// keyword names in `kwnames`) to the signature's slots; a slot left out is
// nullptr. Returns false with TypeError set on a binding failure.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

// The same for a call given as a tuple and an optional keyword dictionary.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Conversions. Each returns false with the exception set, the note
// "while processing '{name}'" added. A str is read from its own storage and
// checked for a UTF-8 form here; its text is copied out later, where needed.
bool convert_str(PyObject* value, const char* name, StrText& out);
bool convert_optional_str(PyObject* value, const char* name, std::optional<StrText>& out);
bool convert_u64(PyObject* value, const char* name, std::uint64_t& out);

// An owned UTF-8 copy of a str's text, made before the interpreter lock is
// released; an absent text stays absent. Short texts (most queries) are
// written into the object itself, which lives on the caller's stack, so that
// the copy costs no allocation.
class TextCopy {
public:
    explicit TextCopy(const std::optional<StrText>& text) {
        if (!text) return;
        const std::size_t size = text->utf8_size();
        if (size <= sizeof inline_) {
            text->write_utf8(inline_);
            view_ = std::string_view(inline_, size);
        } else {
            heap_ = text->to_utf8();
            view_ = std::string_view(heap_);
        }
    }
    TextCopy(const TextCopy&) = delete;
    TextCopy& operator=(const TextCopy&) = delete;

    [[nodiscard]] std::optional<std::string_view> view() const noexcept { return view_; }

private:
    // Left uninitialised: only the bytes written in are ever read.
    char inline_[512];
    std::string heap_;
    std::optional<std::string_view> view_;
};

}  // namespace zarn::engine
