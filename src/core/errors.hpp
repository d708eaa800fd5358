// Error types thrown by the numerical cores.
//
// The cores know nothing of Python: they throw these small exceptions, which
// carry the failing source line, and the module layer turns them into the
// Python exception plus a traceback entry "Pelorin.<function>".
#pragma once

#include <cstdint>

namespace pelorin {

enum class ErrKind : std::uint8_t {
    IndexOutOfBounds,   // IndexError "Out of bounds on buffer access (axis 0)"
    FloatDivision,      // ZeroDivisionError "float division"
    HostFloatDivision,  // ZeroDivisionError "float division by zero" (division on float objects)
};

struct NumericError {
    ErrKind kind;
    const char* file;
    int line;
};

// A Python exception is already set; the thrower only says where it surfaced.
struct PyErrorPending {
    const char* file;
    int line;
};

[[noreturn]] inline void raise(ErrKind kind, const char* file, int line) {
    throw NumericError{kind, file, line};
}

// Division of doubles with the zero test every division of the module makes:
// a divisor of +0.0 or -0.0 raises, a NaN divisor divides normally.
inline double div(double a, double b, int line = __builtin_LINE(),
                  const char* file = __builtin_FILE()) {
    if (b == 0.0) raise(ErrKind::FloatDivision, file, line);
    return a / b;
}

// The same division as made on the interpreter's float objects, whose zero
// divisor raises with the interpreter's own message.
inline double hdiv(double a, double b, int line = __builtin_LINE(),
                   const char* file = __builtin_FILE()) {
    if (b == 0.0) raise(ErrKind::HostFloatDivision, file, line);
    return a / b;
}

}  // namespace pelorin
