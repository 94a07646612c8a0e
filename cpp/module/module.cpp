// The CPython surface of the radar: module initialisation, the `Radar` type,
// argument binding, text conversion, the owner-thread rule and the mapping of
// failures to Python exceptions.
//
// Written on the limited C API (stable ABI 3.9): the binding texts, exception
// types and notes, and the type's name and doc are fixed by the protocol, so no
// binding generator is used. No C++ exception crosses into the interpreter:
// every entry point catches at its boundary.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "command.hpp"
#include "interpreter.hpp"
#include "version.hpp"
#include "worker_pool.hpp"

namespace {

// New reference to the version text, or nullptr with an error set.
PyObject* version_text() noexcept {
    return PyUnicode_FromStringAndSize(radar::kVersion.data(),
                                       static_cast<Py_ssize_t>(radar::kVersion.size()));
}

// ---------------------------------------------------------------------------
// References

// One owned reference; released exactly once.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_DecRef(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_DecRef(p_); }

    static Ref borrowed(PyObject* p) noexcept {
        Py_IncRef(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Holds the pending exception aside for a scope and puts it back at its end,
// so clean-up work cannot clobber or be confused by it.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// ---------------------------------------------------------------------------
// Threads

// OS thread ids and std::thread::id are reused once a thread ends, which would
// let a new thread pass as the owner of an instance made by a dead one; ids
// drawn from a process-wide counter are never reused.
std::uint64_t current_thread_id() noexcept {
    static std::atomic<std::uint64_t> next_id{1};
    thread_local const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

// Sets up this thread's thread-local storage (the C++ runtime's and this
// module's) while memory is known to be there: the C library allocates it on
// a thread's first use and ends the process when it cannot, so a thread that
// will run commands must not meet it first inside a failing allocation.
bool prepare_calling_thread() noexcept {
    if (!radar::prepare_thread_for_exceptions()) return false;
    static_cast<void>(current_thread_id());
    return true;
}

// ---------------------------------------------------------------------------
// The panic exception

constexpr const char kPanicDoc[] =
    "Raised when the radar hits a broken invariant, such as an instance used from a\n"
    "thread other than the one that created it. Derives from BaseException so that\n"
    "`except Exception` does not swallow it.";

PyObject* g_panic_type = nullptr;  // created on first use, kept for the process

// Borrowed reference to the panic type, or nullptr with an error set.
PyObject* panic_type() noexcept {
    if (g_panic_type == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc("norsel_radar.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) return nullptr;
        // Creating the type may run Python code; another caller may have won.
        if (g_panic_type == nullptr) {
            g_panic_type = created;
        } else {
            Py_DecRef(created);
        }
    }
    return g_panic_type;
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // its creation error stays set
    // "replace": the message of a foreign C++ exception need not be UTF-8.
    Ref text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

// Runs an entry point's body, turning C++ exceptions into Python ones.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return failed;
}

// ---------------------------------------------------------------------------
// Arguments

// Binds the single required parameter `param` of `function` from a call's
// positional tuple and keyword dict. Returns a borrowed reference, or nullptr
// with a TypeError set.
PyObject* bind_one(const char* function, const char* param, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
    if (nargs < 0) return nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given",
                     function, nargs);
        return nullptr;
    }
    PyObject* bound = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (nargs == 1 && bound == nullptr) return nullptr;

    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s keywords must be strings", function);
                return nullptr;
            }
            if (PyUnicode_CompareWithASCIIString(key, param) != 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             function, key);
                return nullptr;
            }
            if (bound != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function,
                             param);
                return nullptr;
            }
            bound = value;
        }
    }
    if (bound == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", function,
                     param);
        return nullptr;
    }
    return bound;
}

// bind_one for the vectorcall convention. Only unusual calls come here
// (keywords, wrong counts), so they go through bind_one's tuple and dict.
PyObject* bind_one_fast(const char* function, const char* param, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    Ref tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_IncRef(args[i]);
        if (PyTuple_SetItem(tuple.get(), i, args[i]) < 0) return nullptr;
    }
    Ref keywords;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    if (nkw > 0) {
        keywords = Ref(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* name = PyTuple_GetItem(kwnames, i);
            if (name == nullptr || PyDict_SetItem(keywords.get(), name, args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    PyObject* bound = bind_one(function, param, tuple.get(), keywords.get());
    // The bound object is one of the caller's arguments, alive for the call.
    return bound;
}

// Attaches "while processing '<param>'" to the pending exception through its
// add_note method (see interpreter.hpp); without one, no note.
void add_param_note(const char* param) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);

    if (value != nullptr) {
        Ref add_note(PyObject_GetAttrString(value, interpreter::kAddNote));
        if (add_note) {
            Ref note(PyUnicode_FromFormat("while processing '%s'", param));
            Ref call_args(note ? PyTuple_Pack(1, note.get()) : nullptr);
            Ref result(call_args ? PyObject_Call(add_note.get(), call_args.get(), nullptr)
                                 : nullptr);
        }
        // A failure to attach the note must not replace the error it was for.
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// The UTF-8 text of a str argument, kept alive by the object that holds it:
// the str itself where the interpreter exposes its UTF-8 form, else a bytes
// copy.
class Utf8Text {
public:
    Utf8Text(Ref owner, std::string_view text) noexcept : owner_(std::move(owner)), text_(text) {}
    [[nodiscard]] std::string_view view() const noexcept { return text_; }
    // Keeps the reference for good: for a thread that no longer holds the
    // interpreter lock and never will again.
    void abandon() noexcept { static_cast<void>(owner_.release()); }

private:
    Ref owner_;
    std::string_view text_;
};

// Reads a str's UTF-8 form without a copy where the interpreter can.
interpreter::AsUtf8AndSize g_as_utf8_and_size = nullptr;

// The interpreter keeps the UTF-8 form it makes of a non-ASCII str for as
// long as the str lives, which for a large request would double what the
// caller holds. Such a str is encoded into a temporary copy instead; short
// ones skip the check, their cached form being small.
PyObject* g_isascii_name = nullptr;  // "isascii", made at import

bool may_view_utf8(PyObject* str) {
    constexpr Py_ssize_t kCheckedLength = 4096;
    if (PyUnicode_GetLength(str) < kCheckedLength) return true;
    Ref is_ascii(PyObject_CallMethodObjArgs(str, g_isascii_name, nullptr));
    if (!is_ascii) {
        PyErr_Clear();  // the copy below is always right
        return false;
    }
    return is_ascii.get() == Py_True;
}

std::optional<Utf8Text> utf8_of(PyObject* str) {
    if (g_as_utf8_and_size != nullptr && may_view_utf8(str)) {
        Py_ssize_t size = 0;
        const char* data = g_as_utf8_and_size(str, &size);
        if (data == nullptr) return std::nullopt;
        return Utf8Text(Ref::borrowed(str), {data, static_cast<std::size_t>(size)});
    }
    Ref bytes(PyUnicode_AsUTF8String(str));
    if (!bytes) return std::nullopt;
    std::string_view text(PyBytes_AsString(bytes.get()),
                          static_cast<std::size_t>(PyBytes_Size(bytes.get())));
    return Utf8Text(std::move(bytes), text);
}

// Converts a str (or subclass) argument to UTF-8, strictly. On failure the
// error carries the note naming the parameter.
std::optional<Utf8Text> to_text(PyObject* arg, const char* param) {
    if (!PyUnicode_Check(arg)) {
        if (arg == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
        } else {
            Ref name(
                PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__qualname__"));
            if (name) {
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'",
                             name.get());
            }
        }
        add_param_note(param);
        return std::nullopt;
    }
    std::optional<Utf8Text> text = utf8_of(arg);
    if (!text) add_param_note(param);
    return text;
}

// ---------------------------------------------------------------------------
// The Radar type

constexpr const char kRadarDoc[] =
    "Radar(spec_json)\n--\n\nA radar instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it.";
constexpr const char kCommandDoc[] =
    "command($self, cmd_json)\n--\n\nApply a command JSON and return the resulting response "
    "JSON.";
constexpr const char kVersionDoc[] = "version()\n--\n\nThe library version.";

constexpr const char kSentMessage[] =
    "assertion `left == right` failed: _norsel_radar::PyRadar is unsendable, but sent to "
    "another thread";
constexpr const char kDroppedMessage[] =
    "_norsel_radar::PyRadar is unsendable, but is being dropped on another thread";

// What a Radar instance carries beyond the object header. Constructed in place
// in memory that the interpreter allocates, destroyed by hand in dealloc.
struct RadarState {
    std::unique_ptr<radar::Radar> radar;
    // 0 when free, -1 while a command holds the instance.
    std::atomic<std::intptr_t> access{0};
    std::uint64_t owner;
};

struct PyRadar {
    PyObject_HEAD
    RadarState state;
};

RadarState& state_of(PyObject* self) noexcept { return reinterpret_cast<PyRadar*>(self)->state; }

// Holds an instance's access flag for one command; released on every path.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(std::atomic<std::intptr_t>& flag) noexcept : flag_(flag) {
        std::intptr_t expected = 0;
        taken_ = flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() {
        if (taken_) flag_.store(0, std::memory_order_release);
    }
    [[nodiscard]] bool taken() const noexcept { return taken_; }

private:
    std::atomic<std::intptr_t>& flag_;
    bool taken_;
};

PyObject* radar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* arg = bind_one("Radar.__new__()", "spec_json", args, kwargs);
        if (arg == nullptr) return nullptr;
        // The thread that makes a radar is the one that runs its commands.
        if (!prepare_calling_thread()) return PyErr_NoMemory();
        std::optional<Utf8Text> text = to_text(arg, "spec_json");
        if (!text) return nullptr;

        auto created = radar::Radar::create(text->view());
        if (!created) {
            const std::string message = created.error().text();
            Ref py_message(PyUnicode_FromStringAndSize(message.data(),
                                                       static_cast<Py_ssize_t>(message.size())));
            if (py_message) PyErr_SetObject(PyExc_ValueError, py_message.get());
            return nullptr;
        }

        // The type's own allocator: the base object's new-slot would only call
        // it, and that slot cannot be read through the limited API on 3.9.
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc != nullptr ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&state_of(self)) RadarState{std::move(created).value(), {0}, current_thread_id()};
        return self;
    });
}

void radar_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    {
        PendingError pending;
        RadarState& state = state_of(self);
        if (state.owner != current_thread_id()) {
            PyErr_SetString(PyExc_RuntimeError, kDroppedMessage);
            PyErr_WriteUnraisable(nullptr);
            // Leaked on purpose: the radar belongs to its owner thread, and
            // freeing it here could race with that thread's use of it.
            static_cast<void>(state.radar.release());
        }
        state.~RadarState();
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_slot != nullptr) {
        free_slot(self);
    } else {
        PyObject_Free(self);
    }
    // Every instance of a heap type holds a reference to its type.
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The answer of every successful feed, reset and set_spec: one shared str
// saves making a new one per event (a str is immutable, so sharing it is
// safe), and, made at import, it cannot fail after such a command has
// changed the radar.
PyObject* g_ok_text = nullptr;
constexpr std::string_view kOk = "{\"ok\":true}";

// New reference to the response as a str, or nullptr with an error set.
PyObject* response_text(std::string_view response) {
    if (response == kOk) {
        Py_IncRef(g_ok_text);
        return g_ok_text;
    }
    return PyUnicode_FromStringAndSize(response.data(), static_cast<Py_ssize_t>(response.size()));
}

// Requests from this size on run without the interpreter lock, so other
// Python threads and an asyncio loop run while the radar works. Releasing
// and retaking it costs well under a microsecond, while such a request
// takes tens of microseconds at least (the reader does about 1 GB/s); a feed
// (a few hundred nanoseconds) keeps the lock.
constexpr std::size_t kReleaseLockFrom = std::size_t{64} << 10;

// One call of Radar.command once its argument is bound. A large request
// runs in three steps, the middle one taking the interpreter lock back
// outside any C++ handler: a thread that takes it back while the
// interpreter finalizes is ended by the C library (pthread_exit) with a
// forced unwind, which a catch-all handler on its way would turn into
// std::terminate.
class CommandCall {
public:
    CommandCall() = default;
    CommandCall(const CommandCall&) = delete;
    CommandCall& operator=(const CommandCall&) = delete;
    ~CommandCall() {
        // Unwound out of taking the lock back: without the lock, the text's
        // reference may not be touched.
        if (lock_lost_ && text_) text_->abandon();
    }

    // Checks the owner thread, takes the instance and converts the text,
    // then runs a short request at once, its outcome in result(). True
    // when the request is to run without the lock instead.
    bool start(PyObject* self, PyObject* arg) {
        state_ = &state_of(self);
        const std::uint64_t caller = current_thread_id();
        if (caller != state_->owner) {
            raise_panic(std::string(kSentMessage) + "\n  left: " + std::to_string(caller) +
                        "\n right: " + std::to_string(state_->owner));
            return false;
        }
        access_.emplace(state_->access);
        if (!access_->taken()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        text_ = to_text(arg, "cmd_json");
        if (!text_) return false;
        if (text_->view().size() >= kReleaseLockFrom) return true;
        result_ = response_text(state_->radar->command(text_->view()));
        return false;
    }

    // The str made by start(), or nullptr with a Python error set.
    [[nodiscard]] PyObject* result() const noexcept { return result_; }

    // Runs the radar without the interpreter lock; a failure is kept for
    // finish(). The text stays alive meanwhile: this call holds its object.
    void run_without_lock() {
        PyThreadState* const thread = PyEval_SaveThread();
        try {
            response_ = state_->radar->command(text_->view());
        } catch (...) {
            failure_ = std::current_exception();
        }
        lock_lost_ = true;
        PyEval_RestoreThread(thread);
        lock_lost_ = false;
    }

    // The response as a str, or nullptr with a Python error set.
    PyObject* finish() {
        if (failure_) std::rethrow_exception(failure_);
        return response_text(response_);
    }

private:
    RadarState* state_ = nullptr;
    std::optional<ExclusiveAccess> access_;  // released last, after the str is made
    std::optional<Utf8Text> text_;
    PyObject* result_ = nullptr;
    std::string response_;
    std::exception_ptr failure_;
    bool lock_lost_ = false;
};

// Not noexcept, and no handler around run_without_lock(): see CommandCall.
PyObject* run_command(PyObject* self, PyObject* arg) {
    CommandCall call;
    if (!guarded<bool>(false, [&] { return call.start(self, arg); })) return call.result();
    call.run_without_lock();
    return guarded<PyObject*>(nullptr, [&] { return call.finish(); });
}

PyObject* radar_command(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* arg = guarded<PyObject*>(
        nullptr, [&] { return bind_one("Radar.command()", "cmd_json", args, kwargs); });
    return arg == nullptr ? nullptr : run_command(self, arg);
}

// The same with the vectorcall convention, which spares a tuple per call.
PyObject* radar_command_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* arg = nargs == 1 && kwnames == nullptr ? args[0] : guarded<PyObject*>(nullptr, [&] {
        return bind_one_fast("Radar.command()", "cmd_json", args, nargs, kwnames);
    });
    return arg == nullptr ? nullptr : run_command(self, arg);
}

PyObject* radar_version(PyObject* /*unused*/, PyObject* /*unused*/) noexcept {
    return version_text();
}

// Method tables want one function-pointer type; the detour through void(*)()
// states that the differing signature is intended.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_radar_methods[] = {
    {"command", as_cfunction(radar_command), METH_VARARGS | METH_KEYWORDS, kCommandDoc},
    {"version", as_cfunction(radar_version), METH_NOARGS | METH_STATIC, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_radar_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRadarDoc)},
    {Py_tp_new, reinterpret_cast<void*>(radar_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(radar_dealloc)},
    {Py_tp_methods, g_radar_methods},
    {0, nullptr},
};

PyType_Spec g_radar_spec = {
    "builtins.Radar", static_cast<int>(sizeof(PyRadar)), 0, Py_TPFLAGS_DEFAULT, g_radar_slots,
};

PyObject* g_radar_type = nullptr;  // created on first use, kept for the process

// Borrowed reference to the Radar type, or nullptr with an error set.
PyObject* radar_type() noexcept {
    if (g_radar_type == nullptr) {
        // Where it can, "command" takes its arguments as an array.
        if (interpreter::has_fastcall()) {
            g_radar_methods[0].ml_meth = as_cfunction(radar_command_fast);
            g_radar_methods[0].ml_flags = interpreter::kMethFastcall | METH_KEYWORDS;
        }
        PyObject* created = PyType_FromSpec(&g_radar_spec);
        if (created == nullptr) return nullptr;
        if (g_radar_type == nullptr) {
            g_radar_type = created;
        } else {
            Py_DecRef(created);
        }
    }
    return g_radar_type;
}

// ---------------------------------------------------------------------------
// The module

// Appends `name` to the module's __all__ (made on first need) and sets the
// attribute. Returns 0, or -1 with an error set.
int add_public(PyObject* module, const char* name, PyObject* value) {
    Ref key(PyUnicode_FromString(name));
    if (!key) return -1;
    {
        PyObject* interned = key.release();
        PyUnicode_InternInPlace(&interned);
        key = Ref(interned);
    }
    Ref all_name(PyUnicode_FromString("__all__"));
    if (!all_name) return -1;
    Ref all(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "the module's `__all__` is not a list");
        return -1;
    }
    if (PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyObject_SetAttr(module, key.get(), value);
}

int module_exec(PyObject* module) noexcept {
    return guarded<int>(-1, [&]() -> int {
        if (!prepare_calling_thread()) {
            PyErr_NoMemory();
            return -1;
        }
        if (g_ok_text == nullptr) {
            g_ok_text =
                PyUnicode_FromStringAndSize(kOk.data(), static_cast<Py_ssize_t>(kOk.size()));
            if (g_ok_text == nullptr) return -1;
        }
        if (g_isascii_name == nullptr) {
            g_isascii_name = PyUnicode_InternFromString("isascii");
            if (g_isascii_name == nullptr) return -1;
        }
        Ref version(version_text());
        if (!version || add_public(module, "__version__", version.get()) < 0) return -1;
        PyObject* type = radar_type();
        if (type == nullptr) return -1;
        g_as_utf8_and_size = interpreter::utf8_view_function();
        return add_public(module, "Radar", type);
    });
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_norsel_radar",
    "The native module (`norsel_radar._norsel_radar`).",
    0,
    nullptr,
    g_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__norsel_radar() { return PyModuleDef_Init(&g_module_def); }
