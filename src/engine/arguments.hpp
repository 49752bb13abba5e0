#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/python.hpp"

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
// "while processing '{name}'" added.
bool convert_str(PyObject* value, const char* name, std::string_view& out);
bool convert_optional_str(PyObject* value, const char* name, std::optional<std::string_view>& out);
bool convert_u64(PyObject* value, const char* name, std::uint64_t& out);

// An owned copy of a text taken from a Python object, made before the
// interpreter lock is released; an absent text stays absent. Short texts
// (most queries) are copied into the object itself, which lives on the
// caller's stack, so that the copy costs no allocation.
class TextCopy {
public:
    explicit TextCopy(std::optional<std::string_view> text) {
        if (!text) return;
        if (text->size() <= sizeof inline_) {
            if (!text->empty()) std::memcpy(inline_, text->data(), text->size());
            view_ = std::string_view(inline_, text->size());
        } else {
            heap_.assign(*text);
            view_ = std::string_view(heap_);
        }
    }
    TextCopy(const TextCopy&) = delete;
    TextCopy& operator=(const TextCopy&) = delete;

    [[nodiscard]] std::optional<std::string_view> view() const noexcept { return view_; }

private:
    // Left uninitialised: only the bytes copied in are ever read.
    char inline_[512];
    std::string heap_;
    std::optional<std::string_view> view_;
};

}  // namespace zarn::engine
