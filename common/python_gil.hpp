// The GIL around both modules' native work, interpreter shutdown, and Ctrl-C during long work.
//
// `GilRelease` releases the GIL for the native work of a call and takes it back at the end of its
// scope. A thread must not ask for the GIL once the interpreter is shutting down: Python ends such a
// thread as it asks (pthread_exit), and the unwinding that starts there cannot leave the destructor
// that asked, which aborts the process ("terminate called without an active exception"). So, once
// shutdown has begun, a thread other than the one shutting down that comes back from native work
// parks instead: it sleeps, holding no lock and touching nothing of Python's, until the process
// ends, as Python's own daemon threads stop at that point.
//
// Shutdown is seen at a step no returning thread can race: `install_shutdown_gate` registers an
// atexit callback (atexit callbacks run before Python marks the interpreter as finalizing) that
// closes the gate and then waits, without the GIL, until every thread already on its way to the GIL
// has it. After that every other thread that comes back parks, before it asks for the GIL.
//
// pybind11 sets its NumPy API up on first use, releasing and retaking the GIL by its own means; the
// gate does that at import, so that no call does it later, when the interpreter may be shutting down.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvane {

namespace detail {

struct ShutdownGate {
    std::mutex mutex;
    std::condition_variable returned;
    bool closed = false;
    int returning = 0;                // threads past the gate that wait for the GIL
    unsigned long shutting_down = 0;  // the thread that runs the shutdown (the main thread until it closes)
};

// Never destroyed: parked threads outlive static destruction.
inline ShutdownGate& shutdown_gate() {
    static auto* gate = new ShutdownGate();
    return *gate;
}

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Takes the GIL back with the thread state PyEval_SaveThread gave, or parks (above).
inline void restore_thread(PyThreadState* state) {
    ShutdownGate& gate = shutdown_gate();
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        if ((gate.closed || interpreter_finalizing()) && PyThread_get_thread_ident() != gate.shutting_down) {
            lock.unlock();
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        ++gate.returning;
    }
    PyEval_RestoreThread(state);
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        --gate.returning;
    }
    gate.returned.notify_all();
}

}  // namespace detail

// Called once at module initialisation (GIL held).
inline void install_shutdown_gate() {
    namespace py = pybind11;
    (void)py::dtype::of<double>();
    const auto main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    {
        detail::ShutdownGate& gate = detail::shutdown_gate();
        std::lock_guard<std::mutex> lock(gate.mutex);
        if (!gate.closed) gate.shutting_down = main_thread;
    }
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        detail::ShutdownGate& gate = detail::shutdown_gate();
        {
            std::lock_guard<std::mutex> lock(gate.mutex);
            gate.closed = true;
            gate.shutting_down = PyThread_get_thread_ident();
        }
        PyThreadState* state = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(gate.mutex);
            gate.returned.wait(lock, [&] { return gate.returning == 0; });
        }
        PyEval_RestoreThread(state);
    }));
}

// Runs body with the GIL from any thread, whether it holds the GIL or not (a DLPack deleter may run
// anywhere). Once the interpreter is shutting down, a thread other than the one shutting it down
// skips body instead of asking for the GIL (see above): what body would release is left to the
// process's end, as a parked thread's objects are. Returns whether body ran.
template <class Body>
bool with_gil(Body&& body) {
    if (!Py_IsInitialized()) return false;
    if (PyGILState_Check() != 0) {
        body();
        return true;
    }
    detail::ShutdownGate& gate = detail::shutdown_gate();
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        if ((gate.closed || detail::interpreter_finalizing()) && PyThread_get_thread_ident() != gate.shutting_down)
            return false;
        ++gate.returning;  // the shutdown waits until this thread has the GIL
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        --gate.returning;
    }
    gate.returned.notify_all();
    body();
    PyGILState_Release(state);
    return true;
}

// Releases the GIL for its scope (constructed with the GIL held).
class GilRelease {
  public:
    GilRelease() : on_main_thread_(on_shutting_down_thread()), state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        if (state_) detail::restore_thread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Runs the pending signal handlers with the GIL taken for the moment, and raises what they raise
    // (KeyboardInterrupt for Ctrl-C) with the GIL held. Python runs handlers on the main thread only,
    // so elsewhere this does nothing and never waits for the GIL.
    void check_signals() {
        if (!on_main_thread_) return;
        detail::restore_thread(state_);
        if (PyErr_CheckSignals() != 0) {
            state_ = nullptr;  // the GIL stays with the error
            throw pybind11::error_already_set();
        }
        state_ = PyEval_SaveThread();
    }

  private:
    static bool on_shutting_down_thread() {
        detail::ShutdownGate& gate = detail::shutdown_gate();
        std::lock_guard<std::mutex> lock(gate.mutex);
        return PyThread_get_thread_ident() == gate.shutting_down;
    }

    bool on_main_thread_;
    PyThreadState* state_;
};

}  // namespace korvane
