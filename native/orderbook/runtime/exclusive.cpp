// The objects held and the threads waiting for them. Both tables change only under the
// interpreter lock and never across a call that can run Python code, so the lock is all they
// need; only the wait itself happens without it.
#include "runtime/exclusive.hpp"

#include <pthread.h>

#include <cerrno>
#include <new>
#include <vector>

namespace velmora::exclusive {
namespace {

// What the threads waiting for one object block on: made when the first of them comes, freed
// once the object is let go and the last of them has passed. Its lock is taken when it is made
// and given back when the object is let go; each waiter takes it and gives it back at once, so
// that all of them pass.
struct Gate {
    PyThread_type_lock lock = nullptr;
    int waiters = 0;
    bool open = false;
};

// The calling thread, as PyThread_get_thread_ident() tells it on POSIX systems, asked of the
// C library directly: it is asked on every call into a book.
using Thread = pthread_t;

struct Entry {
    PyObject* obj;
    Thread owner;      // the thread that has it
    Py_ssize_t depth;  // its enter() calls not yet matched by leave()
    Gate* gate;        // null while nobody waits
};

struct Waiter {
    Thread thread;
    PyObject* obj;
};

// One entry per object that some thread is inside; at most one waiter record per thread.
std::vector<Entry> held;
std::vector<Waiter> waiters;

Entry* find(PyObject* obj) noexcept {
    for (Entry& e : held) {
        if (e.obj == obj) {
            return &e;
        }
    }
    return nullptr;
}

// Whether `me` waiting for what `owner` has would close a cycle of threads, each waiting for
// an object the next one has: a wait that would never end.
bool would_deadlock(Thread me, Thread owner) noexcept {
    for (std::size_t step = 0; step <= waiters.size(); ++step) {
        if (owner == me) {
            return true;
        }
        const Waiter* next = nullptr;
        for (const Waiter& w : waiters) {
            if (w.thread == owner) {
                next = &w;
                break;
            }
        }
        const Entry* e = next ? find(next->obj) : nullptr;
        if (!e) {
            return false;
        }
        owner = e->owner;
    }
    return false;
}

[[gnu::cold]] void free_if_done(Gate* gate) noexcept {
    if (gate->open && gate->waiters == 0) {
        PyThread_free_lock(gate->lock);
        delete gate;
    }
}

// Waits, with the interpreter lock released, until the thread that has `e.obj` lets go. True
// when it is time to look again; false with an exception set. Out of line: the path without
// a wait is the one every call takes.
[[gnu::cold, gnu::noinline]] bool wait_for(Entry& e, Thread me) noexcept {
    if (would_deadlock(me, e.owner)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "deadlock: the thread inside an operation on this OrderBook waits for a "
                        "book that this thread is inside an operation on");
        return false;
    }
    if (!e.gate) {
        auto* gate = new (std::nothrow) Gate;
        PyThread_type_lock lock = gate ? PyThread_allocate_lock() : nullptr;
        if (!lock) {
            delete gate;
            PyErr_NoMemory();
            return false;
        }
        PyThread_acquire_lock(lock, NOWAIT_LOCK);  // new: nobody else can have it
        gate->lock = lock;
        e.gate = gate;
    }
    Gate* gate = e.gate;
    try {
        waiters.push_back(Waiter{me, e.obj});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    ++gate->waiters;
    PyThreadState* thread = PyEval_SaveThread();
    PyLockStatus status = PyThread_acquire_lock_timed(gate->lock, -1, 1);
    PyEval_RestoreThread(thread);
    if (status == PY_LOCK_ACQUIRED) {
        PyThread_release_lock(gate->lock);
    }
    --gate->waiters;
    free_if_done(gate);
    for (Waiter& w : waiters) {
        if (w.thread == me) {
            w = waiters.back();
            waiters.pop_back();
            break;
        }
    }
    // Interrupted by a signal: its handler runs now, and may raise to end the wait.
    return status != PY_LOCK_INTR || PyErr_CheckSignals() == 0;
}

// In the child of a fork only the thread that called fork() exists: an object another thread
// was inside would otherwise stay held by nobody who can let it go, and the child's first call
// into it would wait forever. What that thread was doing stops where it was; the object is
// left as it stands. Entries of the forking thread itself stay, since it goes on to leave
// them. Gates are dropped, not freed: their locks are in whatever state the fork caught them,
// and nobody waits on them here. Neither table allocates as it shrinks, so nothing here takes
// the allocator's lock, which another thread may have held at the fork.
void forget_other_threads() noexcept {
    Thread me = pthread_self();
    std::size_t kept = 0;
    for (Entry& e : held) {
        if (pthread_equal(e.owner, me)) {
            e.gate = nullptr;
            held[kept++] = e;
        }
    }
    held.resize(kept);
    waiters.clear();
}

}  // namespace

bool follow_forks() noexcept {
    static bool registered = false;
    if (!registered) {
        int error = pthread_atfork(nullptr, nullptr, forget_other_threads);
        if (error != 0) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        registered = true;
    }
    return true;
}

bool enter(PyObject* obj) noexcept {
    Thread me = pthread_self();
    while (Entry* e = find(obj)) {
        if (e->owner == me) {
            ++e->depth;
            return true;
        }
        if (!wait_for(*e, me)) {
            return false;
        }
    }
    try {
        held.push_back(Entry{obj, me, 1, nullptr});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

void leave(PyObject* obj) noexcept {
    Entry* e = find(obj);
    if (!e || --e->depth > 0) {
        return;
    }
    if (Gate* gate = e->gate) [[unlikely]] {
        gate->open = true;
        PyThread_release_lock(gate->lock);
        free_if_done(gate);
    }
    *e = held.back();
    held.pop_back();
}

}  // namespace velmora::exclusive
