// Plain views on caller memory: one- and two-dimensional strided arrays with
// bounds-checked element access.  An index below 0 is wrapped once by adding
// the length; anything still outside raises IndexOutOfBounds.
//
// Elements are read and written with memcpy, which is defined for any
// address: a caller's buffer may start at any byte (a float64 array over a
// bytearray at an odd offset).  For an aligned element the compiler emits the
// same single load or store as a plain dereference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "errors.hpp"

namespace pelorin {

// An index that remembers the source line it was written on, so that
// `v[i]` can report where an out-of-bounds access happened.
struct Idx {
    std::ptrdiff_t i;
    int line;
    const char* file;
    Idx(std::ptrdiff_t i_, int line_ = __builtin_LINE(),  // NOLINT: implicit on purpose
        const char* file_ = __builtin_FILE())
        : i(i_), line(line_), file(file_) {}
};

// One element of a view: reads and writes its bytes wherever they lie.
template <class T>
class Elem {
public:
    explicit Elem(char* p) : p_(p) {}
    Elem(const Elem&) = default;
    operator T() const {  // NOLINT: implicit on purpose, reads like a T&
        T v;
        std::memcpy(&v, p_, sizeof v);
        return v;
    }
    const Elem& operator=(T v) const {
        std::memcpy(p_, &v, sizeof v);
        return *this;
    }
    // Element to element copies the value, not the position.
    const Elem& operator=(const Elem& o) const { return *this = static_cast<T>(o); }
    Elem& operator=(const Elem& o) {
        *this = static_cast<T>(o);
        return *this;
    }
    const Elem& operator=(T v) {
        std::memcpy(p_, &v, sizeof v);
        return *this;
    }

private:
    char* p_;
};

template <class T>
struct View1D {
    char* data = nullptr;
    std::ptrdiff_t len = 0;
    std::ptrdiff_t stride = sizeof(T);  // in bytes

    View1D() = default;
    View1D(T* p, std::ptrdiff_t n)
        : data(reinterpret_cast<char*>(p)), len(n), stride(sizeof(T)) {}
    View1D(char* p, std::ptrdiff_t n, std::ptrdiff_t s) : data(p), len(n), stride(s) {}

    std::ptrdiff_t size() const { return len; }

    Elem<T> operator[](Idx k) const {
        std::ptrdiff_t i = k.i;
        if (i < 0) i += len;
        if (i < 0 || i >= len) raise(ErrKind::IndexOutOfBounds, k.file, k.line);
        return Elem<T>(data + i * stride);
    }
};

template <class T>
struct View2D {
    char* data = nullptr;
    std::ptrdiff_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};  // in bytes

    Elem<T> operator()(Idx r, Idx c) const {
        std::ptrdiff_t i = r.i, j = c.i;
        if (i < 0) i += shape[0];
        if (i < 0 || i >= shape[0]) raise(ErrKind::IndexOutOfBounds, r.file, r.line);
        if (j < 0) j += shape[1];
        if (j < 0 || j >= shape[1]) raise(ErrKind::IndexOutOfBounds, c.file, c.line);
        return Elem<T>(data + i * strides[0] + j * strides[1]);
    }
};

using Vec = View1D<double>;
using IVec = View1D<std::int32_t>;
using Mat = View2D<double>;

}  // namespace pelorin
