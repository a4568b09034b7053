// check.hpp: a minimal assertion harness for the native test executables.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace check {

inline int& failures() {
    static int count = 0;
    return count;
}

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    ++failures();
}

// Runs every registered case; returns the process exit status.
inline int run_all() {
    for (const auto& c : registry()) {
        const int before = failures();
        try {
            c.body();
        } catch (const std::exception& e) {
            fail(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        std::printf("%s %s\n", failures() == before ? "ok  " : "FAIL", c.name);
    }
    std::printf("%zu cases, %d failed checks\n", registry().size(), failures());
    return failures() == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)
#define TEST_CASE(name)                                             \
    static void CHECK_CONCAT(test_body_, __LINE__)();               \
    static const check::Register CHECK_CONCAT(test_reg_, __LINE__){ \
        name, &CHECK_CONCAT(test_body_, __LINE__)};                 \
    static void CHECK_CONCAT(test_body_, __LINE__)()

#define CHECK(cond) ((cond) ? (void)0 : check::fail(__FILE__, __LINE__, #cond))
#define CHECK_EQ(a, b) \
    (((a) == (b)) ? (void)0 : check::fail(__FILE__, __LINE__, std::string(#a " == " #b)))
#define CHECK_THROWS_MESSAGE(expr, Type, text)                                             \
    do {                                                                                   \
        bool thrown_ = false;                                                              \
        try {                                                                              \
            (void)(expr);                                                                  \
        } catch (const Type& e_) {                                                         \
            thrown_ = true;                                                                \
            if (std::string(e_.what()) != (text))                                          \
                check::fail(__FILE__, __LINE__, std::string("message was: ") + e_.what()); \
        }                                                                                  \
        if (!thrown_) check::fail(__FILE__, __LINE__, #expr " did not throw " #Type);      \
    } while (0)

#define CHECK_MAIN() \
    int main() { return check::run_all(); }
