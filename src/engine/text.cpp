#include "engine/text.hpp"

#include <cstring>
#include <span>

#include "common/utf8_transcode.hpp"

namespace zarn::engine {
namespace {

template <class Unit>
std::span<const Unit> units_of(const void* data, std::size_t size) noexcept {
    return {static_cast<const Unit*>(data), size};
}

// The exception that CPython's strict UTF-8 encoder raises for the same run:
// the whole str as its object, and the same reason.
void raise_unencodable(PyObject* str, const Unencodable& run) {
    PyObject* error =
        PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", str, static_cast<Py_ssize_t>(run.start),
                              static_cast<Py_ssize_t>(run.end), "surrogates not allowed");
    if (error != nullptr) PyErr_SetRaisedException(error);
}

}  // namespace

bool StrText::read(PyObject* str) {
    data_ = PyUnicode_DATA(str);
    units_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    std::expected<std::size_t, Unencodable> length;
    if (PyUnicode_IS_ASCII(str)) {
        kind_ = Kind::ascii;
        length = units_;
    } else {
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND:
                kind_ = Kind::latin1;
                length = utf8_length(units_of<std::uint8_t>(data_, units_));
                break;
            case PyUnicode_2BYTE_KIND:
                kind_ = Kind::ucs2;
                length = utf8_length(units_of<std::uint16_t>(data_, units_));
                break;
            default:
                kind_ = Kind::ucs4;
                length = utf8_length(units_of<std::uint32_t>(data_, units_));
                break;
        }
    }
    if (!length) {
        raise_unencodable(str, length.error());
        return false;
    }
    utf8_size_ = *length;
    return true;
}

void StrText::write_utf8(char* out) const noexcept {
    const std::span<char> room(out, utf8_size_);
    switch (kind_) {
        case Kind::ascii:
            if (units_ != 0) std::memcpy(out, data_, units_);
            break;
        case Kind::latin1: zarn::write_utf8(units_of<std::uint8_t>(data_, units_), room); break;
        case Kind::ucs2: zarn::write_utf8(units_of<std::uint16_t>(data_, units_), room); break;
        case Kind::ucs4: zarn::write_utf8(units_of<std::uint32_t>(data_, units_), room); break;
    }
}

std::string StrText::to_utf8() const {
    std::string out;
    out.resize_and_overwrite(utf8_size_, [this](char* data, std::size_t size) noexcept {
        write_utf8(data);
        return size;
    });
    return out;
}

}  // namespace zarn::engine
