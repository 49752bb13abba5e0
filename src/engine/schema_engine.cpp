#include "engine/schema_engine.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "bridge/call_bridge.hpp"
#include "bridge/envelope.hpp"
#include "bridge/runtime.hpp"
#include "common/stop.hpp"
#include "common/unicode.hpp"
#include "engine/arguments.hpp"
#include "engine/panic.hpp"
#include "execution/engine_state.hpp"

namespace zarn::engine {
namespace {

using execution::EngineState;

constexpr std::uint64_t kExclusiveBorrow = ~std::uint64_t{0};

// The borrow counter guards the state against an exclusive use that no
// method takes today: every method takes a shared borrow (so any number of
// threads may be inside one engine at once), and all ones would mark an
// exclusive one. It costs one compare-and-swap per call; it stays so that a
// method that must change the state can exclude the others without a new
// protocol.
struct EngineObject {
    PyObject_HEAD std::atomic<std::uint64_t> borrows;  // shared borrows in progress
    EngineState* state;                                // owned; never null once constructed
};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// A shared borrow of the engine for the length of one method call.
class SharedBorrow {
public:
    explicit SharedBorrow(EngineObject* engine) : engine_(engine) {
        std::uint64_t current = engine_->borrows.load(std::memory_order_relaxed);
        do {
            if (current == kExclusiveBorrow) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                engine_ = nullptr;
                return;
            }
        } while (!engine_->borrows.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                         std::memory_order_relaxed));
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (engine_ != nullptr) engine_->borrows.fetch_sub(1, std::memory_order_release);
    }
    explicit operator bool() const noexcept { return engine_ != nullptr; }
    [[nodiscard]] const EngineState& state() const noexcept { return *engine_->state; }

private:
    EngineObject* engine_;
};

// Runs `work` and maps the failures the core may raise to Python exceptions.
template <class Work>
PyObject* guarded(Work&& work) {
    try {
        return std::forward<Work>(work)();
    } catch (const InternalStop& stop) {
        return raise_panic(stop.message());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Runs `work` without the interpreter lock; a stop thrown inside is caught
// there and re-raised once the lock is held again.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    std::optional<std::string> stopped;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS try { result.emplace(std::forward<Work>(work)()); } catch (const InternalStop& stop) {
        stopped.emplace(stop.message());
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS if (stopped) throw InternalStop(std::move(*stopped));
    if (out_of_memory) throw std::bad_alloc();
    return std::move(*result);
}

// Responses are nearly always ASCII: such a text is copied into the new str
// as it is. Any other goes through the decoder, which checks it.
PyObject* new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    // The size goes with the data: no terminating NUL is read.
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
    if (!is_ascii(text)) return PyUnicode_FromStringAndSize(text.data(), size);
    PyObject* str = PyUnicode_New(size, 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

// Construction shared by __new__, build and from_tool_metadata. The
// interpreter lock is held throughout, so an ASCII catalogue is read in place.
PyObject* construct(PyTypeObject* type, const std::optional<StrText>& catalogue_json) {
    return guarded([&]() -> PyObject* {
        std::optional<Utf8View> text;
        if (catalogue_json) text.emplace(*catalogue_json);
        auto state = execution::from_catalogue_json(text ? std::optional(text->get()) : std::nullopt);
        if (!state) {
            PyErr_SetString(PyExc_ValueError, state.error().c_str());
            return nullptr;
        }
        auto owned = std::make_unique<EngineState>(std::move(*state));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;  // the state is released with `owned`
        EngineObject* engine = as_engine(self);
        new (&engine->borrows) std::atomic<std::uint64_t>(0);
        engine->state = owned.release();
        return self;
    });
}

constexpr std::array<const char*, 1> kCatalogueParams{"catalogue_json"};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 1> slots{};
    if (!bind_arguments({"SchemaEngine.__new__()", kCatalogueParams, 0}, args, kwargs, slots)) return nullptr;
    std::optional<StrText> text;
    if (!convert_optional_str(slots[0], "catalogue_json", text)) return nullptr;
    return construct(type, text);
}

PyObject* build_engine(std::string_view callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots{};
    if (!bind_arguments({callable, kCatalogueParams, 1}, args, nargs, kwnames, slots)) return nullptr;
    std::optional<StrText> text;
    if (!convert_str(slots[0], "catalogue_json", text.emplace())) return nullptr;
    PyObject* type = schema_engine_type();
    if (type == nullptr) return nullptr;
    PyObject* engine = construct(reinterpret_cast<PyTypeObject*>(type), text);
    Py_DECREF(type);
    return engine;
}

PyObject* engine_build(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_engine("SchemaEngine.build()", args, nargs, kwnames);
}

PyObject* engine_from_tool_metadata(PyObject* /*cls*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_engine("SchemaEngine.from_tool_metadata()", args, nargs, kwnames);
}

PyObject* engine_describe(PyObject* self, PyObject* /*unused*/) {
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    return guarded([&] {
        return new_str("zarn-lite GraphQL schema engine stub (" + std::to_string(borrow.state().tools.size()) +
                       " tool fields)");
    });
}

PyObject* engine_tool_count(PyObject* self, PyObject* /*unused*/) {
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    return PyLong_FromSize_t(borrow.state().tools.size());
}

PyObject* engine_attach_call_bridge(PyObject* self, PyObject* /*unused*/) {
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    borrow.state().bridge->set_attached(true);
    Py_RETURN_NONE;
}

PyObject* engine_detach_call_bridge(PyObject* self, PyObject* /*unused*/) {
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    return guarded([&]() -> PyObject* {
        borrow.state().bridge->set_attached(false);
        borrow.state().bridge->cancel_pending("CallBridge is detached");
        Py_RETURN_NONE;
    });
}

constexpr std::array<const char*, 1> kReceiveParams{"timeout_ms"};

PyObject* engine_receive_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots{};
    if (!bind_arguments({"SchemaEngine.receive_tool_call()", kReceiveParams, 0}, args, nargs, kwnames, slots))
        return nullptr;
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    std::uint64_t timeout_ms = 100;
    if (slots[0] != nullptr && !convert_u64(slots[0], "timeout_ms", timeout_ms)) return nullptr;
    return guarded([&]() -> PyObject* {
        // Shares that keep the runtime and the bridge alive for the whole wait.
        std::shared_ptr<bridge::Runtime> runtime = borrow.state().runtime;
        std::shared_ptr<bridge::TokioCallBridge> call_bridge = borrow.state().bridge;
        auto received = without_interpreter_lock([&] { return call_bridge->receive_json(*runtime, timeout_ms); });
        call_bridge.reset();
        runtime.reset();
        if (!received) {
            PyErr_SetString(PyExc_ValueError, received.error().c_str());
            return nullptr;
        }
        if (!received->has_value()) Py_RETURN_NONE;
        return new_str(**received);
    });
}

constexpr std::array<const char*, 2> kRespondParams{"request_id", "result_json"};
constexpr std::array<const char*, 2> kFailParams{"request_id", "message"};

PyObject* engine_respond_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (!bind_arguments({"SchemaEngine.respond_tool_call()", kRespondParams, 2}, args, nargs, kwnames, slots))
        return nullptr;
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    StrText request_id;
    StrText result_json;
    if (!convert_str(slots[0], "request_id", request_id) || !convert_str(slots[1], "result_json", result_json))
        return nullptr;
    return guarded([&] {
        const Utf8View id(request_id);
        return PyBool_FromLong(borrow.state().bridge->respond(id.get(), result_json.to_utf8()));
    });
}

PyObject* engine_fail_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (!bind_arguments({"SchemaEngine.fail_tool_call()", kFailParams, 2}, args, nargs, kwnames, slots)) return nullptr;
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    StrText request_id;
    StrText message;
    if (!convert_str(slots[0], "request_id", request_id) || !convert_str(slots[1], "message", message)) return nullptr;
    return guarded([&] {
        const Utf8View id(request_id);
        std::string reply = bridge::tool_error_text(Utf8View(message).get());
        return PyBool_FromLong(borrow.state().bridge->respond(id.get(), std::move(reply)));
    });
}

constexpr std::array<const char*, 2> kExecuteParams{"query", "variables_json"};

PyObject* engine_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (!bind_arguments({"SchemaEngine.execute()", kExecuteParams, 1}, args, nargs, kwnames, slots)) return nullptr;
    SharedBorrow borrow(as_engine(self));
    if (!borrow) return nullptr;
    std::optional<StrText> query_text;
    std::optional<StrText> variables_text;
    if (!convert_str(slots[0], "query", query_text.emplace()) ||
        !convert_optional_str(slots[1], "variables_json", variables_text))
        return nullptr;
    return guarded([&] {
        // Owned copies: nothing may point into Python objects once the lock is gone.
        const TextCopy query(query_text);
        const TextCopy variables(variables_text);
        // Each thread writes its responses into one buffer, so that a small
        // response needs no allocation; a large one's room is not kept.
        constexpr std::size_t kKeptResponseBytes = std::size_t{64} * 1024;
        thread_local std::string response;
        const std::string_view text = without_interpreter_lock([&] {
            execution::execute_json(borrow.state(), *query.view(), variables.view(), response);
            return std::string_view(response);
        });
        PyObject* const str = new_str(text);
        if (response.capacity() > kKeptResponseBytes) std::string().swap(response);
        return str;
    });
}

void engine_dealloc(PyObject* self) {
    EngineObject* engine = as_engine(self);
    PyTypeObject* type = Py_TYPE(self);
    try {
        delete engine->state;
    } catch (const InternalStop& stop) {
        raise_panic(stop.message());
        PyErr_WriteUnraisable(self);
    }
    engine->state = nullptr;
    engine->borrows.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

#define ZARN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef engine_methods[] = {
    {"build", ZARN_FASTCALL(engine_build), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "build($cls, catalogue_json)\n--\n\n"},
    {"from_tool_metadata", ZARN_FASTCALL(engine_from_tool_metadata), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_tool_metadata($cls, catalogue_json)\n--\n\n"},
    {"describe", engine_describe, METH_NOARGS, "describe($self)\n--\n\n"},
    {"tool_count", engine_tool_count, METH_NOARGS, "tool_count($self)\n--\n\n"},
    {"attach_call_bridge", engine_attach_call_bridge, METH_NOARGS, "attach_call_bridge($self)\n--\n\n"},
    {"detach_call_bridge", engine_detach_call_bridge, METH_NOARGS, "detach_call_bridge($self)\n--\n\n"},
    {"receive_tool_call", ZARN_FASTCALL(engine_receive_tool_call), METH_FASTCALL | METH_KEYWORDS,
     "receive_tool_call($self, timeout_ms=...)\n--\n\n"},
    {"respond_tool_call", ZARN_FASTCALL(engine_respond_tool_call), METH_FASTCALL | METH_KEYWORDS,
     "respond_tool_call($self, request_id, result_json)\n--\n\n"},
    {"fail_tool_call", ZARN_FASTCALL(engine_fail_tool_call), METH_FASTCALL | METH_KEYWORDS,
     "fail_tool_call($self, request_id, message)\n--\n\n"},
    {"execute", ZARN_FASTCALL(engine_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, query, variables_json=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZARN_FASTCALL

constexpr const char kEngineDoc[] =
    "SchemaEngine(catalogue_json=None)\n--\n\n"
    "Minimal GraphQL schema engine exposed to Python.\n\n"
    "The engine owns GraphQL execution and a channel bridge: tool resolvers put tool-call "
    "requests on a bounded queue, wait for a one-shot reply per call, and never call into "
    "Python while holding the interpreter lock.";

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.SchemaEngine", static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT, engine_slots,
};

PyMutex type_lock{};
PyObject* engine_type = nullptr;  // guarded by type_lock; lives for the process

}  // namespace

PyObject* schema_engine_type() {
    PyMutex_Lock(&type_lock);
    if (engine_type == nullptr) engine_type = PyType_FromSpec(&engine_spec);
    PyObject* type = engine_type;
    Py_XINCREF(type);
    PyMutex_Unlock(&type_lock);
    return type;
}

}  // namespace zarn::engine
