// Error types thrown by the native core.
//
// The core has no Python headers; the binding layer maps each of these onto
// the Python exception of the same name, keeping the message. Any other
// exception escaping a family is an internal fault and surfaces as the
// module's internal-error exception (derived from BaseException).
#pragma once

#include <stdexcept>
#include <string>

namespace thalren {

struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct OverflowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct RuntimeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// File access failures; `errno_value` is 0 when there is no errno to report.
struct OSError : std::runtime_error {
  OSError(const std::string& message, int errno_value = 0)
      : std::runtime_error(message), errno_value(errno_value) {}
  int errno_value;
};

}  // namespace thalren
