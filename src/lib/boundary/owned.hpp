// Owned interpreter references and the process-wide once-only cells.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace tavlomer::boundary {

// A strong reference, released on every path out of its scope (including a
// fault unwinding through it).
class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (or null).
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned(std::move(other)).swap(*this);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    [[nodiscard]] static Owned borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Owned(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Owned& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

// A process-wide cell that is filled once with an object kept until the
// process ends.  No lock is held while the value is made: making it may run
// Python code, which may let another thread take the interpreter lock and
// arrive here too.  Two such initialisations both build a value; the first
// one stored wins and the loser's object is released, so every caller sees
// the same object.
class OnceCell {
public:
    [[nodiscard]] PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Stores `value` (a new reference) unless the cell is filled already;
    // returns the kept object, borrowed from the cell.
    PyObject* set_or_keep(PyObject* value) noexcept {
        PyObject* kept = nullptr;
        if (value_.compare_exchange_strong(kept, value, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return value;
        }
        Py_DECREF(value);
        return kept;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace tavlomer::boundary
