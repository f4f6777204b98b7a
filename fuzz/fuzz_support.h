// Shared pieces of the launch-policy fuzz targets.
//
// Each target includes launch/tovrinHostLaunch.cpp itself (so that the
// file-local scanners can be reached, as tests/launch does), splits the
// fuzzer's bytes with fuzz_input, runs the function under test on buffers of
// exactly the capacity it passes (so that AddressSanitizer sees any byte
// written past it) and compares with a small model of the rule written
// independently in the target. A difference aborts with both sides printed;
// libFuzzer then saves the input as the reproducer.
#ifndef TOVRIN_FUZZ_SUPPORT_H
#define TOVRIN_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

// Reads the fuzzer's bytes front to back; every read past the end gives 0
// or an empty text, so any input is a valid one.
struct fuzz_input {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    fuzz_input(const uint8_t *d, size_t n) : data(d), size(n) {}

    uint8_t byte() { return pos < size ? data[pos++] : 0; }

    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) {
            v = (v << 8) | byte();
        }
        return v;
    }

    // The bytes up to the next NUL (dropped) or the end: C texts cannot
    // hold a NUL, so the NUL is the natural field separator.
    std::string text()
    {
        std::string s;
        while (pos < size && data[pos] != 0) {
            s.push_back((char)data[pos++]);
        }
        if (pos < size) {
            pos++;
        }
        return s;
    }

    // Everything that is left, cut at its first NUL.
    std::string rest()
    {
        std::string s = text();
        pos = size;
        return s;
    }
};

// A heap buffer of exactly `cap` bytes (one byte when cap is 0, which the
// code under test must not touch), filled with a marker byte.
struct exact_buf {
    std::vector<char> heap;
    char *bytes;
    size_t cap;

    explicit exact_buf(size_t n) : heap(n == 0 ? 1 : n, '\x5a'), bytes(heap.data()), cap(n) {}

    bool untouched() const
    {
        for (char c : heap) {
            if (c != '\x5a') {
                return false;
            }
        }
        return true;
    }
    std::string text() const { return std::string(bytes, strnlen(bytes, heap.size())); }
};

inline std::string fuzz_printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127 && c != '\\') {
            out.push_back((char)c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// A broken property: print what was expected and what came, then abort so
// that libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "\nproperty failed: %s\n  ", #cond);                          \
            fprintf(stderr, __VA_ARGS__);                                                 \
            fprintf(stderr, "\n");                                                        \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

#endif
