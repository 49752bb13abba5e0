#include "engine/arguments.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace zarn::engine {
namespace {

void add_processing_note(const char* name) {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    const std::string note = std::string("while processing '") + name + "'";
    PyObject* added = PyObject_CallMethod(exception, "add_note", "s", note.c_str());
    if (added == nullptr) PyErr_Clear();  // keep the original failure
    Py_XDECREF(added);
    PyErr_SetRaisedException(exception);
}

std::string quoted_list(std::span<const char* const> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) text += (i + 1 == names.size()) ? " and " : ", ";
        text.append("'").append(names[i]).append("'");
    }
    return text;
}

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::string message(sig.callable);
    const std::size_t total = sig.names.size();
    if (sig.required == total) message += " takes " + std::to_string(total);
    else message += " takes from " + std::to_string(sig.required) + " to " + std::to_string(total);
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_type_error(message);
    return false;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_keyword(const Signature& sig, PyObject* key) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view wanted(text, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < sig.names.size(); ++i)
        if (wanted == sig.names[i]) return static_cast<Py_ssize_t>(i);
    return -1;
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, std::span<PyObject*> slots) {
    const Py_ssize_t index = find_keyword(sig, key);
    if (index < 0) {
        // The name goes in as an object: one without a UTF-8 form (a lone
        // surrogate) must still make the message, not a null pointer.
        const std::string callable(sig.callable);
        if (PyUnicode_Check(key))
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", callable.c_str(), key);
        else raise_type_error(callable + " got an unexpected keyword argument '?'");
        return false;
    }
    if (index < nargs || slots[static_cast<std::size_t>(index)] != nullptr) {
        raise_type_error(std::string(sig.callable) + " got multiple values for argument '" +
                         sig.names[static_cast<std::size_t>(index)] + "'");
        return false;
    }
    slots[static_cast<std::size_t>(index)] = value;
    return true;
}

bool check_required(const Signature& sig, std::span<PyObject*> slots) {
    if (std::ranges::none_of(slots.first(sig.required), [](PyObject* slot) { return slot == nullptr; })) return true;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.names[i]);
    raise_type_error(std::string(sig.callable) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                     quoted_list(missing));
    return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
    if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    // Most calls pass every required argument by position and no keyword.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= sig.required) return true;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots)) return false;
    }
    return check_required(sig, slots);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value))
            if (!bind_keyword(sig, key, value, nargs, slots)) return false;
    }
    return check_required(sig, slots);
}

bool convert_str(PyObject* value, const char* name, StrText& out) {
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
        add_processing_note(name);
        return false;
    }
    if (!PyUnicode_Check(value)) {
        PyObject* type_name = PyType_GetQualName(Py_TYPE(value));
        if (type_name != nullptr) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name);
            Py_DECREF(type_name);
        }
        add_processing_note(name);
        return false;
    }
    if (!out.read(value)) {
        add_processing_note(name);
        return false;
    }
    return true;
}

bool convert_optional_str(PyObject* value, const char* name, std::optional<StrText>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    return convert_str(value, name, out.emplace());
}

bool convert_u64(PyObject* value, const char* name, std::uint64_t& out) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        add_processing_note(name);
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_processing_note(name);
        return false;
    }
    out = n;
    return true;
}

}  // namespace zarn::engine
