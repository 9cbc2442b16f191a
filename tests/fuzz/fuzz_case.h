// The fuzz target's model: an input decoded into a command line and a
// platform script, what a run of the tool was seen to do, and the checks
// that every run must pass whatever the platform answered.
#ifndef QUELT_FUZZ_CASE_H
#define QUELT_FUZZ_CASE_H

#include "standin.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Input layout, read front to back; a read past the end yields zero bytes,
// so every input, even an empty one, is a valid case.
//
//   u8 count                arguments after the program name: count % 8
//   count x argument        u8 kind: below 0x80 a text follows; from 0x80 the
//                           command word (kind & 7) % 5, then u8 case mask
//                           (bit i upper-cases letter i)
//   u8 flags                bit 0 driver absent, bit 1 a cut module path is
//                           terminated, bit 2 the mappings file is missing
//   u8 n, n % 32 x u32      router results for WNetAddConnection3A
//   u8 n, n % 32 x u32      router results for WNetCancelConnection2A
//   u8 n, n % 8 x answer    driver answers: u32 result, u32 bytes returned,
//                           text reply bytes
//   text, text              Windows directory, module path
//   4 x u32                 results of open, create, set value, close key
//   u8 n, n % 64 x value    profile values: u8 selector (bits 0-4 the
//                           letter of "Drive.%c", 26 and up: a text section
//                           name follows; bit 5 key "Remote", else "Local";
//                           bit 6 names in lower case; bit 7 a text key name
//                           follows), then the text value
//
// A text is u8 n and n bytes; for n in 0xF0-0xF7 a u16 length and that
// many bytes; for n >= 0xF8 a u8 byte and a u16 count, that byte repeated
// count % 4096 times (one mutation then turns a whole reply or path into
// other bytes). Strings that can hold no NUL on the platform (arguments, names,
// profile values, paths) end at their first NUL; driver replies keep theirs.
struct FuzzCase {
    std::vector<std::string> args;
    standin::Script script;
};

FuzzCase decode(const uint8_t *data, size_t size);

// What one run did, as the stand-in saw it.
struct Observed {
    int result = 0;
    std::string out;
    std::string err;
    std::vector<std::string> calls; // call texts, in order
    std::vector<std::string> data;  // bytes of a record passed in, per call
    int open_handles = 0;
    int stray_closes = 0;
};

// Runs the tool's main on the case.
Observed run_case(const FuzzCase &c);

// The first rule the run broke, or "" when it kept them all.
std::string violation(const FuzzCase &c, const Observed &seen);

#endif
