// The Windows tests' checks: each compares exact values and counts what failed; a test
// program's exit code is that count.
#pragma once

#include <iostream>

namespace win32_test {

inline int failures = 0;

template <class A, class B> void checkEqual(const A& a, const B& b, const char* what, int line) {
    if (!(a == b)) {
        std::cout << "line " << line << ": " << what << ": got " << a << ", expected " << b << "\n";
        ++failures;
    }
}

} // namespace win32_test

#define CHECK_EQ(a, b) win32_test::checkEqual((a), (b), #a, __LINE__)
#define CHECK(c) win32_test::checkEqual(bool(c), true, #c, __LINE__)
