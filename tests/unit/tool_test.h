// Shared by the unit tests: a fresh stand-in for every test.
#ifndef QUELT_TOOL_TEST_H
#define QUELT_TOOL_TEST_H

#include "standin.h"
#include "usage_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }
};

// The first recorded call of that name; fails the test when there is none.
inline const standin::Call &call_named(const std::string &name)
{
    static const standin::Call none = {};
    for (const standin::Call &call : standin::calls())
        if (call.name == name)
            return call;
    ADD_FAILURE() << "no call of " << name;
    return none;
}

typedef std::vector<std::string> Args;
typedef std::vector<std::string> Texts;

#endif
