// The extension module zarn._graphql: its entry point and execution step.

#include "engine/panic.hpp"
#include "engine/python.hpp"
#include "engine/schema_engine.hpp"

namespace {

PyObject* graphql_stub(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyUnicode_FromString("zarn-lite _graphql extension loaded");
}

PyMethodDef stub_def = {"graphql_stub", graphql_stub, METH_NOARGS, "graphql_stub()\n--\n\n"};

// Appends `name` to the module's __all__ (created when missing), then sets
// the attribute. Steals nothing.
int add_public(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
    if (all == nullptr) {
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    const int appended = PyList_Check(all) ? PyList_Append(all, name) : -1;
    Py_DECREF(all);
    if (appended < 0) {
        PyErr_Clear();
        zarn::engine::raise_panic("could not append __name__ to __all__");
        return -1;
    }
    return PyObject_SetAttr(module, name, value);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", Py_TYPE(module)->tp_name);
        return -1;
    }
    PyObject* engine_type = zarn::engine::schema_engine_type();
    if (engine_type == nullptr) return -1;
    PyObject* engine_name = PyUnicode_FromString("SchemaEngine");
    int status = engine_name != nullptr ? add_public(module, engine_name, engine_type) : -1;
    Py_XDECREF(engine_name);
    Py_DECREF(engine_type);
    if (status < 0) return -1;

    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    PyObject* stub = PyCFunction_NewEx(&stub_def, nullptr, module_name);
    Py_DECREF(module_name);
    if (stub == nullptr) return -1;
    PyObject* stub_name = PyObject_GetAttrString(stub, "__name__");
    status = stub_name != nullptr ? add_public(module, stub_name, stub) : -1;
    Py_XDECREF(stub_name);
    Py_DECREF(stub);
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_graphql", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__graphql() { return PyModuleDef_Init(&module_def); }
