// Owned references: one strong reference, or none, released on scope exit.
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

}  // namespace velmora
