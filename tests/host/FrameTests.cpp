// The host's exit sequence and fatal-error path, seen from outside the process.
#include "tests/system/Driver.h"

#include <gtest/gtest.h>

namespace {

using namespace driver;

TEST(HostFrame, ClosingEndsWithExitCodeZeroAfterOneExitHandlerCall) {
    ProgramUnderTest probe(HOST_PROBE_EXE, "HostProbe");
    char elsewhere[MAX_PATH];
    GetTempPathA(MAX_PATH, elsewhere);
    probe.Start("normal", elsewhere);  // started from another directory
    ASSERT_TRUE(probe.WaitForWindow());
    probe.RequestClose();
    EXPECT_EQ(probe.WaitForExit(), 0u);
    EXPECT_EQ(probe.ReadLines("exit-handler.log"), std::vector<std::string>{"exit"});
}

TEST(HostFrame, AWindowThatCannotBeBuiltIsFatalAndSkipsTheExitHandler) {
    ProgramUnderTest probe(HOST_PROBE_EXE, "HostProbe");
    probe.Start("broken");
    auto box = probe.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_FALSE(box->text.empty());
    probe.DismissMessageBox();
    EXPECT_EQ(probe.WaitForExit(), 0xFFFFFFFFu);
    EXPECT_TRUE(probe.ReadLines("exit-handler.log").empty());
}

}  // namespace
