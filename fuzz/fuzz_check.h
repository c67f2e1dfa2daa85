// A failed check in a fuzz target is a crash, so libFuzzer keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__);            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
