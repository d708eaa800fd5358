// Plain views on caller memory: one- and two-dimensional strided arrays with
// bounds-checked element access.  An index below 0 is wrapped once by adding
// the length; anything still outside raises IndexOutOfBounds.
#pragma once

#include <cstddef>
#include <cstdint>

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

    T& operator[](Idx k) const {
        std::ptrdiff_t i = k.i;
        if (i < 0) i += len;
        if (i < 0 || i >= len) raise(ErrKind::IndexOutOfBounds, k.file, k.line);
        return *reinterpret_cast<T*>(data + i * stride);
    }
};

template <class T>
struct View2D {
    char* data = nullptr;
    std::ptrdiff_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};  // in bytes

    T& operator()(Idx r, Idx c) const {
        std::ptrdiff_t i = r.i, j = c.i;
        if (i < 0) i += shape[0];
        if (i < 0 || i >= shape[0]) raise(ErrKind::IndexOutOfBounds, r.file, r.line);
        if (j < 0) j += shape[1];
        if (j < 0 || j >= shape[1]) raise(ErrKind::IndexOutOfBounds, c.file, c.line);
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }
};

using Vec = View1D<double>;
using IVec = View1D<std::int32_t>;
using Mat = View2D<double>;

}  // namespace pelorin
