#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/scratch_buffer.hpp"
#include "engine/python.hpp"

namespace zarn::engine {

// The text of a str, read from the str's own storage (Latin-1, UCS-2 or
// UCS-4 code units) rather than through the interpreter's UTF-8 form, which
// would be encoded at a few hundred MB/s and then cached on the object. It
// refers into the str: use it while the str lives and the interpreter lock is
// held, and copy out what must outlive that.
class StrText {
public:
    // Reads `str`, which must be a str (or a subclass). Returns false with
    // the interpreter's UnicodeEncodeError set when the text has no UTF-8
    // form (a surrogate code point), exactly as str.encode("utf-8") raises it.
    [[nodiscard]] bool read(PyObject* str);

    [[nodiscard]] std::size_t utf8_size() const noexcept { return utf8_size_; }

    // The str's storage when that is already its UTF-8 form (ASCII text),
    // else empty.
    [[nodiscard]] bool is_ascii() const noexcept { return kind_ == Kind::ascii; }
    [[nodiscard]] std::string_view ascii() const noexcept {
        return {static_cast<const char*>(data_), is_ascii() ? units_ : 0};
    }

    // Writes the UTF-8 form into `out`, which has room for utf8_size() bytes.
    void write_utf8(char* out) const noexcept;

    // The UTF-8 form as a new string.
    [[nodiscard]] std::string to_utf8() const;

private:
    enum class Kind : std::uint8_t { ascii, latin1, ucs2, ucs4 };

    const void* data_ = nullptr;
    std::size_t units_ = 0;
    Kind kind_ = Kind::ascii;
    std::size_t utf8_size_ = 0;
};

// A UTF-8 view of a StrText for the length of a call that holds the
// interpreter lock: the str's own storage when it is ASCII, else a converted
// copy owned here (in huge pages when it is large: see ScratchBuffer).
class Utf8View {
public:
    explicit Utf8View(const StrText& text) {
        if (text.is_ascii()) {
            view_ = text.ascii();
            return;
        }
        ScratchBuffer& room = owned_.emplace(text.utf8_size());
        text.write_utf8(room.data());
        view_ = std::string_view(room.data(), room.size());
    }
    Utf8View(const Utf8View&) = delete;
    Utf8View& operator=(const Utf8View&) = delete;

    [[nodiscard]] std::string_view get() const noexcept { return view_; }

private:
    std::optional<ScratchBuffer> owned_;
    std::string_view view_;
};

}  // namespace zarn::engine
