#pragma once

#include "engine/python.hpp"

namespace zarn::engine {

// The SchemaEngine class object, created on first use and kept for the rest
// of the process. Returns a new reference, or nullptr with an exception set.
PyObject* schema_engine_type();

}  // namespace zarn::engine
