// fault.hpp: internal faults with their source location, and refusals of the caller's values.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tarn {

// An internal failure that ends the native operation at once. It unwinds as a
// C++ exception, releasing everything on the way, and the call frame turns it
// into a PanicException carrying `message()`.
class Fault : public std::exception {
public:
    explicit Fault(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// `path` relative to `root` where it lies below it, with '/' between its parts: the form of the
// source locations in fault reports, also from compilers that write Windows paths.
std::string relative_source_path(std::string_view path, std::string_view root);

// Writes the standard-error report of a fault: thread, source location and
// message, plus a one-time hint after the first report of the process.
void report_fault(const std::string& message,
                  std::source_location where = std::source_location::current());

// Writes the standard-error report for a new fault, then throws it.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// Throws a fault without a report: used when resuming a fault that already
// reported itself on the Python side.
[[noreturn]] void resume_fault(std::string message);

// The index fault of native vectors.
[[noreturn]] void raise_index_fault(std::size_t len, std::size_t index,
                                    std::source_location where = std::source_location::current());

// Bounds-checked access that faults like an out-of-range index.
template <class Vector>
auto& checked_at(Vector& vector, std::size_t index,
                 std::source_location where = std::source_location::current()) {
    if (index >= vector.size()) raise_index_fault(vector.size(), index, where);
    return vector[index];
}

// A refusal of the caller's input that is not an internal fault; the call
// frame raises it as Python's ValueError with this message.
class InvalidValue : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarn
