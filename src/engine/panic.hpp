#pragma once

#include <string_view>

#include "engine/python.hpp"

namespace zarn::engine {

// PanicException: raised for broken invariants. It derives from BaseException,
// so `except Exception` does not swallow it. Created once per process.
PyObject* panic_exception_type();

// Sets PanicException(message) and returns nullptr, for `return raise_panic(...)`.
PyObject* raise_panic(std::string_view message);

}  // namespace zarn::engine
