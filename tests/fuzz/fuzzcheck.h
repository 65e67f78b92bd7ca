#pragma once

#include <cstdio>

// Ends the run on a broken property and names it; libFuzzer keeps the input
// that did it as a crash file.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)
