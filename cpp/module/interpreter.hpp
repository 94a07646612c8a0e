#pragma once
// Every difference between the CPython versions that the one abi3 wheel
// serves (3.9 on), in one place. The headers are 3.9's limited API, so each
// newer facility is found at run time, never assumed.
//
// Include after Python.h.

#include <dlfcn.h>

namespace interpreter {

// The running interpreter's sys.hexversion, or 0 when it cannot be read.
inline long version() noexcept {
    PyObject* hexversion = PySys_GetObject("hexversion");  // borrowed
    if (hexversion == nullptr) return 0;
    const long found = PyLong_AsLong(hexversion);
    if (found == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return 0;
    }
    return found;
}

// 3.10: METH_FASTCALL joined the stable ABI (the flag's value is fixed
// there), so a method may take its arguments as an array.
inline constexpr int kMethFastcall = 0x0080;
inline bool has_fastcall() noexcept { return version() >= 0x030A0000; }

// 3.10: PyUnicode_AsUTF8AndSize joined the stable ABI. It reads a str's
// UTF-8 form without copying it (an ASCII str is its own UTF-8), which for
// large requests saves a copy and its fresh pages. Null before 3.10, where
// callers copy through bytes instead; looked up so the wheel loads on 3.9.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
inline AsUtf8AndSize utf8_view_function() noexcept {
    if (version() < 0x030A0000) return nullptr;
    return reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

// 3.11: exceptions have add_note; before, an exception simply has no such
// attribute and callers skip the note.
inline constexpr const char kAddNote[] = "add_note";

}  // namespace interpreter
