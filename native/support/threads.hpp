// Long pure-C++ work with the GIL released, as CPython's own hashlib
// releases it around a large digest, so that no native call stalls the
// other threads of the process for longer than the interpreter's switch
// interval would.
//
// While the GIL is released the thread touches no Python object, not even
// a reference count: it reads the storage of strs that the call holds
// references to (a str never changes), and C++ structures that it keeps
// alive for the call by shared ownership (a compiled table another thread
// swaps out or clears meanwhile is freed only when the last call using it
// has returned). Python objects are made after the GIL is taken back, and
// whatever the module state holds is changed only with the GIL held.
//
// Releasing costs a microsecond or less when no other thread wants the GIL;
// taking it back can wait for another thread's Python code for up to the
// switch interval. Each caller releases only where the work is large
// enough that this is small beside it, by a threshold it states.
//
// --- What relies on the GIL today, and what a free-threaded build needs ---
//
// The modules declare Py_MOD_GIL_USED (compat.hpp), so a free-threaded
// interpreter (3.13t and later) runs them with the GIL enabled: right until
// such an interpreter can be tested. They compile with Py_GIL_DISABLED
// defined. What would have to change before declaring Py_MOD_GIL_NOT_USED:
//
//  1. Borrowed references from shared containers. Dicts and lists walked
//     or read with lent items (for_each_item, PyDict_Next and
//     PyList_GET_ITEM in values.hpp/iterate.hpp; the table snapshot in
//     guard/pattern_matching.cpp; mapping_get and compat::dict_get's 3.11
//     and 3.12 branch; the lists _token_opcodes numbers; the span's
//     attribute dict read directly in spanbridge/sdk_spans.cpp and
//     integrations.cpp): another thread can free an item between the read
//     and its use. Needs: PyDict_GetItemRef and PyList_GetItemRef (new
//     references), and a critical section on the container
//     (Py_BEGIN_CRITICAL_SECTION) around each walk, as the interpreter's
//     own dict iteration takes.
//  2. Caches changed on reads. The engine's pattern cache (regex/
//     pattern_cache.cpp: its program map, its rule sets and the recency
//     clock every lookup advances), the relative imports resolved
//     (state_base::resolved_imports) and the import sites (watched_import,
//     module.cpp). Needs: a PyMutex per cache object (or a critical section
//     on it) around lookup and insertion; compiling outside it, as now
//     (it runs Python code). What the cache hands out is immutable and
//     shared already; its shared_ptr counts are atomic.
//  3. Captures made at first use. The code guards of span_names.cpp
//     (urllib.parse, re.match) and the import sites' captures: two threads
//     can capture at once and one overwrite what the other lent out. Needs:
//     a one-time initialisation (PyOnceFlag-style, or a mutex and a
//     re-check) per capture, and the captured objects held strongly until
//     the module state goes.
//  4. Check-then-read sequences of the code guard. A fast path checks
//     `holds()` and then reads what the capture lent (a class's functions,
//     own_namespace::find's values, SequenceMatcher in ml_redaction.cpp, the
//     SDK's classes in sdk_spans.cpp): another thread can modify the class
//     or rebind the name in between. Needs: the check and the reads in one
//     critical section on the guarded namespace, or strong references taken
//     before the check and the check done again after (a seqlock on
//     code_changes, which is atomic already).
//  5. Check-then-change sequences on module attributes: cost's
//     _UNKNOWN_MODELS_LOGGED (`in`, then `add`: one warning per model) and
//     configure's three settings, read one by one by check_prompt. Needs: a
//     critical section on the set around the pair; the settings may stay
//     as they are (each read is atomic on its own, as documented).
//  6. Already fine: the work done with the GIL released (this file) reads
//     immutable strs and immutable shared structures; the workspaces,
//     recursion depth and stack bounds are per thread; the dict and type
//     watchers' count is atomic.
#pragma once

#include <chrono>

#include "checkpoint.hpp"
#include "errors.hpp"

namespace tavrix {

// The thread that runs the process's signal handlers: the main thread, in
// the main interpreter. Captured once at module creation (module state).
class signal_thread {
public:
    signal_thread() noexcept = default;

    // threading.main_thread(), as it is now (GIL held).
    [[nodiscard]] static signal_thread capture() {
        ref threading = check(PyImport_ImportModule("threading"));
        ref main = check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        ref ident = check(PyObject_GetAttrString(main.get(), "ident"));
        signal_thread found;
        found.ident_ = PyLong_AsUnsignedLong(ident.get());
        if (found.ident_ == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error();
        found.known_ = true;
        return found;
    }

    // Whether the calling thread (holding the GIL) is that thread.
    [[nodiscard]] bool is_current() const noexcept {
        return known_ && PyThread_get_thread_ident() == ident_ &&
               PyThreadState_GetInterpreter(PyThreadState_Get()) == PyInterpreterState_Main();
    }

private:
    unsigned long ident_ = 0;
    bool known_ = false;
};

// The GIL released for the lifetime of the object, when `worth` (the
// caller's threshold says the work is large enough), and taken back when it
// ends, on any path. Created and destroyed by a thread holding the GIL;
// neither copied nor moved.
class released_gil {
public:
    // How often a thread that handles signals takes the GIL back to run
    // their handlers: the interpreter's default switch interval, so that a
    // Ctrl-C lands about as soon as during the same work in Python code.
    static constexpr std::chrono::milliseconds signal_interval{5};

    released_gil(bool worth, const signal_thread& signals) noexcept
        : poll_(worth && signals.is_current() ? checkpoint(&on_checkpoint, this) : checkpoint()) {
        if (!worth) return;  // small work: not even the clock is read
        next_check_ = std::chrono::steady_clock::now() + signal_interval;
        saved_ = PyEval_SaveThread();
    }
    ~released_gil() {
        if (saved_) PyEval_RestoreThread(saved_);
    }
    released_gil(const released_gil&) = delete;
    released_gil& operator=(const released_gil&) = delete;

    // The work's checkpoint. In the thread that handles signals, at most
    // every signal_interval, it takes the GIL back and runs the handlers
    // (PyErr_CheckSignals); a handler that raises (KeyboardInterrupt)
    // abandons the work with its exception set (error_already_set, thrown
    // with the GIL held). Elsewhere it never stops the work.
    [[nodiscard]] checkpoint& poll() noexcept { return poll_; }

    [[nodiscard]] bool released() const noexcept { return saved_ != nullptr; }

private:
    static void on_checkpoint(void* owner) {
        auto& self = *static_cast<released_gil*>(owner);
        const auto now = std::chrono::steady_clock::now();
        if (now < self.next_check_ || !self.saved_) return;
        PyEval_RestoreThread(self.saved_);
        self.saved_ = nullptr;  // held from here: the destructor leaves it so
        if (PyErr_CheckSignals() < 0) throw_error();
        self.saved_ = PyEval_SaveThread();
        self.next_check_ = std::chrono::steady_clock::now() + signal_interval;
    }

    PyThreadState* saved_ = nullptr;
    checkpoint poll_;
    std::chrono::steady_clock::time_point next_check_{};
};

}  // namespace tavrix
