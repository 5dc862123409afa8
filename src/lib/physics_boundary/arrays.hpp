// NumPy from the boundary of tavlomer_physics, through the interpreter's own
// API (no NumPy headers, so no build dependency on NumPy): arguments become
// private C-contiguous float64 arrays, their shapes broadcast like a ufunc's,
// and the work then runs on raw pointers obtained through the buffer
// protocol, which CPython and PyPy both provide for NumPy arrays.
//
// Every function here returns false (or a null object) with a Python
// exception set on failure.
#pragma once

#include <Python.h>

#include <cstddef>

#include "lib/boundary/owned.hpp"
#include "physics/laws.hpp"

namespace tavlomer::physics_boundary {

using boundary::Owned;

// Imports NumPy and keeps the functions used here, once per process.
[[nodiscard]] bool load_numpy();

// A C-contiguous view of an array's memory, released when it goes.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    [[nodiscard]] bool acquire(PyObject* array, bool writable);
    void release() noexcept;
    [[nodiscard]] void* data() const noexcept { return view_.buf; }
    // Elements of `item` bytes.
    [[nodiscard]] std::size_t count(std::size_t item) const noexcept {
        return static_cast<std::size_t>(view_.len) / item;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// What an argument may hold: real numbers in any array-like, or one.
enum class Holds { numbers, one };

// One numeric argument: a plain number kept as a double, or a private
// C-contiguous float64 array (a copy, so nothing the caller holds can change
// under the computation while the interpreter's lock is released).
//
// Real numbers are Python's bool, int (of any size) and float, NumPy's
// boolean, integer and floating-point scalars and arrays, numbers.Real
// (Fraction) and decimal.Decimal, alone or in nested sequences: each becomes
// the nearest double, an infinity beyond the double's range.  Complex numbers
// (even with no imaginary part), text, None and anything else are not.
class Operand {
public:
    // Converts `object`; a TypeError names `name` when it holds anything but
    // real numbers (or, for Holds::one, anything but one), a ValueError when
    // one of them does not convert to float.
    [[nodiscard]] bool convert(PyObject* object, const char* name, Holds holds = Holds::numbers);

    [[nodiscard]] PyObject* shape() const noexcept { return shape_.get(); }
    [[nodiscard]] std::size_t ndim() const noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] const double* values() const noexcept { return values_; }

    // Readable element by element over a broadcast `shape` holding `size`
    // elements: stride 0 when the operand holds one value, its own memory
    // when its shape is `shape`, else a contiguous broadcast copy.
    [[nodiscard]] bool spread(PyObject* shape, std::size_t size, physics::Strided& out);

private:
    // Reads the elements of array_, an array of objects made of `object`, one
    // by one into a float64 array that replaces it.
    [[nodiscard]] bool read_objects(PyObject* object, const char* name, Holds holds);

    Owned array_;
    Owned shape_;
    Buffer buffer_;
    Owned spread_array_;
    Buffer spread_buffer_;
    double scalar_ = 0.0;
    const double* values_ = nullptr;
    std::size_t size_ = 0;
};

// np.broadcast_shapes(*shapes); null with ValueError when they do not broadcast.
[[nodiscard]] Owned broadcast_shapes(std::initializer_list<PyObject*> shapes);
// The number of elements of a shape tuple.
[[nodiscard]] std::size_t shape_size(PyObject* shape);

// For each element of `shape`, the index of its element in `from` (a shape
// broadcast to `shape`), flattened in C order.
class IndexMap {
public:
    [[nodiscard]] bool build(PyObject* from, std::size_t from_size, PyObject* shape);
    [[nodiscard]] const std::ptrdiff_t* data() const noexcept {
        return static_cast<const std::ptrdiff_t*>(buffer_.data());
    }

private:
    Owned array_;
    Buffer buffer_;
};

// The result: a float64 array of the broadcast shape, or a plain float when
// that shape is () (every argument a single number).
class Output {
public:
    [[nodiscard]] bool open(PyObject* shape);
    [[nodiscard]] double* data() noexcept { return data_; }
    // The new reference handed to the caller.
    [[nodiscard]] PyObject* finish();

private:
    Owned array_;
    Buffer buffer_;
    double scalar_ = 0.0;
    double* data_ = nullptr;
};

}  // namespace tavlomer::physics_boundary
