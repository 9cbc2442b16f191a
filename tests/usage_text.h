// The usage text exactly as the tool must print it, for every test that
// judges output. Line 3 holds a pair of backslashes before each component
// of the example remote name.
#ifndef QUELT_USAGE_TEXT_H
#define QUELT_USAGE_TEXT_H

static const char USAGE_TEXT[] = "QueltMap95\n"
                                 "Usage:\n"
                                 "  QueltMap95 /map R: \\\\QueltNFS\\\\server\\\\export_path\n"
                                 "  QueltMap95 /unmap R:\n"
                                 "  QueltMap95 /status [R:]\n"
                                 "  QueltMap95 /startup\n"
                                 "  QueltMap95 /install-startup\n";

#endif
