// What velmora.core lends other native modules of the package (velmora._itch): its Book
// type and a way to hand it a BookState built elsewhere. Published as the capsule
// velmora.core._C_API; a module compiled against another layout of the engine refuses it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "book.hpp"

namespace velmora::core {

inline constexpr const char* CAPI_NAME = "velmora.core._C_API";
inline constexpr std::uint32_t CAPI_VERSION = 1;

struct CoreApi {
    std::uint32_t version;
    std::size_t engine_size;  // sizeof(Engine) and sizeof(BookState) where the core was built
    std::size_t state_size;
    PyTypeObject* book_type;
    // A new velmora.core.Book that owns `state` (deleted on failure); nullptr with an
    // exception set.
    PyObject* (*wrap)(BookState* state) noexcept;
};

// The engine of a Book (the caller has checked the type).
inline Engine& engine_of(PyObject* book) noexcept {
    return reinterpret_cast<BookObject*>(book)->state->engine;
}

// In a client module: the core's API after checking that its layout is this build's;
// nullptr with ImportError.
inline const CoreApi* import_core_api() noexcept {
    // PyCapsule_Import finds the module as an attribute of the package: import it first.
    PyObject* core = PyImport_ImportModule("velmora.core");
    if (!core) {
        return nullptr;
    }
    Py_DECREF(core);  // the package keeps it
    auto* api = static_cast<const CoreApi*>(PyCapsule_Import(CAPI_NAME, 0));
    if (!api) {
        return nullptr;
    }
    if (api->version != CAPI_VERSION || api->engine_size != sizeof(Engine) ||
        api->state_size != sizeof(BookState)) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora.core was built from another version of the engine than this "
                        "module; rebuild the package");
        return nullptr;
    }
    return api;
}

}  // namespace velmora::core
