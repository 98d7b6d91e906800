// The checks of the native test programs: each CHECK counts, the first
// failures are printed, and summary() prints the closing line and gives the
// exit status.
#pragma once

#include <cstdio>
#include <string>

inline long g_passed = 0;
inline long g_failed = 0;

inline void record(bool ok, const char* what, int line, const std::string& context) {
    if (ok) {
        ++g_passed;
        return;
    }
    // The sweeps could fail millions of times; the first few say enough.
    if (++g_failed <= 25) std::printf("FAIL line %d: %s [%s]\n", line, what, context.c_str());
}

#define CHECK(cond, context) record((cond), #cond, __LINE__, (context))

inline int summary() {
    std::printf("%ld passed, %ld failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
