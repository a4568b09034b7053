// fault.cpp: raising faults and writing their standard-error report.
#include "core/fault.hpp"

#include <atomic>
#include <cstdio>
#include <string_view>

namespace tarn {
namespace {

#ifndef TARN_SOURCE_ROOT
#define TARN_SOURCE_ROOT ""
#endif

// Source paths are reported relative to the project root, whatever machine
// built the module.
std::string_view relative_source_path(std::string_view path) {
    constexpr std::string_view root = TARN_SOURCE_ROOT;
    if (!root.empty() && path.starts_with(root)) path.remove_prefix(root.size());
    return path;
}

std::atomic<bool> hint_written{false};

}  // namespace

void report_fault(const std::string& message, std::source_location where) {
    std::string report = "thread '<unnamed>' panicked at ";
    report += relative_source_path(where.file_name());
    report += ':' + std::to_string(where.line()) + ':' + std::to_string(where.column()) + ":\n";
    report += message;
    report += '\n';
    if (!hint_written.exchange(true)) {
        report +=
            "note: this is an internal fault of tarn; it is raised in Python as "
            "PanicException, and a debugger breakpoint on tarn::raise_fault shows "
            "where it came from\n";
    }
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

void raise_fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Fault(std::move(message));
}

void resume_fault(std::string message) { throw Fault(std::move(message)); }

void raise_index_fault(std::size_t len, std::size_t index, std::source_location where) {
    raise_fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

}  // namespace tarn
