// fault.cpp: raising faults and writing their standard-error report.
#include "core/fault.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace tarn {
namespace {

#ifndef TARN_SOURCE_ROOT
#define TARN_SOURCE_ROOT ""
#endif

std::atomic<bool> hint_written{false};

// Windows paths may come with either separator and either case of letters.
bool same_path_character(char a, char b) {
    const auto fold = [](char c) {
        return c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    return fold(a) == fold(b);
}

}  // namespace

std::string relative_source_path(std::string_view path, std::string_view root) {
    if (!root.empty() && path.size() >= root.size() &&
        std::equal(root.begin(), root.end(), path.begin(), same_path_character)) {
        path.remove_prefix(root.size());
    }
    std::string relative(path);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

void report_fault(const std::string& message, std::source_location where) {
    std::string report = "thread '<unnamed>' panicked at ";
    report += relative_source_path(where.file_name(), TARN_SOURCE_ROOT);
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
