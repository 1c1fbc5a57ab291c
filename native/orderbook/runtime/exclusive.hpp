// One call at a time per object across threads: what makes each public operation of an
// OrderBook atomic for threads that share the book. The engine calls out to Python code in the
// middle of an operation (a SortedDict insert, a price's comparison), and the interpreter may
// switch threads there; a second thread that calls into the same book then waits until the
// first call returns.
#pragma once

#include <Python.h>

namespace velmora::exclusive {

// Takes `obj` for the calling thread: at once when no other thread has it (a thread that has
// it already takes it again, as a price's comparison calling back into the book does), or
// after waiting, with the interpreter lock released, until the thread that has it lets go.
// False with an exception set when the wait cannot end (the other thread waits for an object
// this thread has) or a signal handler raised during it. `obj` is a key only: the caller keeps
// it alive until leave().
bool enter(PyObject* obj) noexcept;
// Lets go of `obj` once for every enter() that succeeded; the last one wakes the waiters.
void leave(PyObject* obj) noexcept;
// Makes the tables follow fork(): the child keeps only what its one thread holds. Once per
// process; false with an exception set when the handler cannot be registered.
bool follow_forks() noexcept;

class Hold {
  public:
    explicit Hold(PyObject* obj) noexcept : obj_(enter(obj) ? obj : nullptr) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() {
        if (obj_) {
            leave(obj_);
        }
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject* obj_;
};

}  // namespace velmora::exclusive
