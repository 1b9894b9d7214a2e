// Standard output: each write reaches the reader at once, byte for byte.

#include <gtest/gtest.h>

#include "TestSupport.h"

TEST(PosixConsole, WritesAreFlushedAtOnceWithoutAddingALineEnd) {
    // The tool writes once and leaves with _exit, which flushes nothing.
    const std::string text = "FindLumaro:: no line end \xC3\xA9 %s";
    const auto result =
        testsupport::RunProcess({HALVERN_PLATFORM_TOOL, "console", text}, testsupport::BaseEnvironment());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, text);
}
