// The velmora.core.Book type: one engine per Python object.
#pragma once

#include <Python.h>

#include <vector>

#include "engine.hpp"

namespace velmora::core {

// What a Book owns besides its Python header: the engine and a reusable buffer for the fills
// of one per-event call.
struct BookState {
    Engine engine;
    std::vector<Fill> fills;
};

struct BookObject {
    PyObject_HEAD
    BookState* state;
};

extern PyTypeObject BookType;

// Fills in and readies BookType; false with an exception set.
bool ready_book_type() noexcept;

// Raises the exception that describes a refusal of order `id`; returns nullptr.
PyObject* raise_refusal(Refusal refusal, long long id, long long quantity) noexcept;

}  // namespace velmora::core
