#include "engine/panic.hpp"

namespace zarn::engine {
namespace {

PyMutex creation_lock{};
PyObject* panic_type = nullptr;  // guarded by creation_lock; lives for the process

}  // namespace

PyObject* panic_exception_type() {
    PyMutex_Lock(&creation_lock);
    if (panic_type == nullptr) {
        panic_type =
            PyErr_NewExceptionWithDoc("zarn._graphql.PanicException",
                                      "Raised when the engine meets a broken invariant; carries the fixed message.",
                                      PyExc_BaseException, nullptr);
    }
    PyObject* type = panic_type;
    PyMutex_Unlock(&creation_lock);
    return type;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

}  // namespace zarn::engine
