// Owned references. Rules of use:
//   - A function that makes a reference returns a Ref; parameters are borrowed PyObject*.
//   - A value goes back to CPython through release(), on the last return only; where an API
//     steals a reference (PyTuple_SET_ITEM), release() inside that call, marked `// steals`.
//   - Any call into Python can run arbitrary code that drops the last reference to something
//     we use: hold a Ref across such calls. A borrowed pointer lives only until the next call
//     that can run Python code.
//   - Fields of object structs stay raw PyObject*, handled with Py_SETREF/Py_CLEAR, because
//     tp_traverse and tp_clear need them raw.
//   - A reference kept for the life of the process (a saved builtin, a class bound at import)
//     is a Global: set at import, replaced by a later import, never released.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora {

class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference to the same object, for handing to CPython while keeping ours.
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }
    void reset() noexcept { Ref().swap(*this); }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// One strong reference held by a namespace-level variable for the life of the process. It has
// no destructor: static destructors run after the interpreter is gone, when releasing would be
// unsafe, so what it holds stays alive until the process ends.
class Global {
  public:
    constexpr Global() noexcept = default;
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    PyObject* get() const noexcept { return p_; }
    template <typename T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(p_);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Takes over `value` (possibly empty), releasing what was held before.
    void set(Ref value) noexcept { Py_XSETREF(p_, value.release()); }
    void clear() noexcept { Py_CLEAR(p_); }

  private:
    PyObject* p_ = nullptr;
};

}  // namespace velmora
