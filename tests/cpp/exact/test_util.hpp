// Small helpers shared by the native unit tests.
#pragma once

#include <cmath>
#include <optional>

#include "core/errors.hpp"

namespace test_util {

inline const double kLn10 = std::log(10.0);

// The kind of core error f throws, if any.
template <class F>
std::optional<pelorin::ErrKind> error_of(F&& f) {
    try {
        f();
    } catch (const pelorin::NumericError& e) {
        return e.kind;
    }
    return std::nullopt;
}

}  // namespace test_util
