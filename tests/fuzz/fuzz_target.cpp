// libFuzzer entry: every input is a command line and a platform script;
// a run that breaks a rule aborts, and libFuzzer keeps the input.
#include "fuzz_case.h"

#include <stdio.h>
#include <stdlib.h>

// The tool allocates nothing; the heap belongs to the stand-in and the
// checks, whose churn through ASan's default 256 MB quarantine costs more
// page faults than runs. A small quarantine keeps use-after-free checks.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCase c = decode(data, size);
    Observed seen = run_case(c);
    std::string broken = violation(c, seen);
    if (!broken.empty()) {
        fprintf(stderr, "queltmap95 broke a rule: %s\n  arguments:", broken.c_str());
        for (const std::string &arg : c.args)
            fprintf(stderr, " [%s]", arg.c_str());
        fprintf(stderr, "\n  result %d\n", seen.result);
        abort();
    }
    return 0;
}
