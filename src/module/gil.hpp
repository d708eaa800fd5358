// The interpreter lock around long numerical work, and the polling for
// signals (Ctrl-C) from inside it.
#pragma once

#include "../core/interrupt.hpp"
#include "convert.hpp"

namespace pelorin::py {

// Releases the interpreter lock on request and takes it back on request or,
// at the latest, when it goes (also while an exception unwinds past it).
class GilRelease {
public:
    GilRelease() = default;
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { reacquire(); }

    bool released() const { return saved_ != nullptr; }
    void release() {
        if (!saved_) saved_ = PyEval_SaveThread();
    }
    void reacquire() {
        if (saved_) {
            PyThreadState* t = saved_;
            saved_ = nullptr;
            PyEval_RestoreThread(t);
        }
    }

private:
    PyThreadState* saved_ = nullptr;
};

// Polls for signals from the interruption points of a computation: the
// interpreter's handlers run (taking the lock back for it when the
// computation released it), and an exception they raise, KeyboardInterrupt
// for Ctrl-C, ends the computation.
class SignalPoller : public Poller {
public:
    explicit SignalPoller(GilRelease* gil = nullptr) : gil_(gil) {}
    void poll() override {
        if (!on_main_thread()) return;
        const bool was = gil_ && gil_->released();
        if (was) gil_->reacquire();
        if (PyErr_CheckSignals() < 0) pending();
        if (was) gil_->release();
    }

private:
    GilRelease* gil_;
};

}  // namespace pelorin::py
