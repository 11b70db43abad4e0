// Host operations run inside the test process.
#include "host/Host.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "host-tests-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        Set(L"HOTSPOT_FAKE_LOG", Path("log"));
        Set(L"HOTSPOT_FAKE_SHOW_LOG", Path("show"));
        for (const wchar_t* name : {L"HOTSPOT_FAKE_DELAY_MS", L"HOTSPOT_FAKE_FAIL_ON", L"HOTSPOT_FAKE_EXIT", L"HOTSPOT_FAKE_OUTPUT"})
            SetEnvironmentVariableW(name, nullptr);
    }
    void TearDown() override {
        DeleteFileA(Path("log").c_str());
        DeleteFileA(Path("show").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    std::string Path(const char* name) const { return folder_ + "\\" + name; }
    static void Set(const wchar_t* name, const std::string& value) {
        SetEnvironmentVariableW(name, std::wstring(value.begin(), value.end()).c_str());
    }
    std::string Lines(const char* name) const {
        std::ifstream stream(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(stream), {}};
    }

    std::string folder_;
};

const std::string kFake = FAKE_NETSH_EXE;

TEST_F(Commands, ShowModesSelectTheNewWindowsState) {
    // SW_HIDE 0, SW_SHOWNORMAL 1, SW_SHOWMINIMIZED 2, SW_SHOWMAXIMIZED 3, SW_SHOWNOACTIVATE 4, SW_MINIMIZE 6.
    const std::pair<int, const char*> cases[] = {{0, "1 0\n"}, {1, "1 0\n"}, {2, "1 1\n"}, {3, "1 2\n"},
                                                 {4, "1 3\n"}, {5, "1 4\n"}, {6, "1 6\n"}, {9, "1 6\n"}};
    for (auto [mode, expected] : cases) {
        SCOPED_TRACE(mode);
        DeleteFileA(Path("show").c_str());
        ASSERT_TRUE(host::RunCommand(kFake + " mode", true, mode));
        EXPECT_EQ(Lines("show"), expected);
    }
    DeleteFileA(Path("show").c_str());
    ASSERT_TRUE(host::RunCommand(kFake + " default", true));
    EXPECT_EQ(Lines("show"), "1 1\n");
}

TEST_F(Commands, WaitReturnsOnlyAfterTheProcessEnded) {
    Set(L"HOTSPOT_FAKE_DELAY_MS", "600");
    auto start = Clock::now();
    ASSERT_TRUE(host::RunCommand(kFake + " waited 中文", true, host::kHiddenWindow));
    EXPECT_GE(Clock::now() - start, 600ms);
    EXPECT_EQ(Lines("log"), kFake + " waited 中文\n");
}

TEST_F(Commands, WithoutWaitReturnsWithinASecondOfAProcessThatNeverIdles) {
    Set(L"HOTSPOT_FAKE_DELAY_MS", "3000");
    auto start = Clock::now();
    ASSERT_TRUE(host::RunCommand(kFake + " not-waited", false, host::kHiddenWindow));
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(Lines("log"), "");
}

TEST_F(Commands, AProgramThatDoesNotExistIsNotStarted) {
    EXPECT_FALSE(host::RunCommand("no-such-program-here.exe /x", true, host::kHiddenWindow));
    host::CommandOutcome outcome = host::RunCommandCapturingOutput("no-such-program-here.exe", host::kHiddenWindow);
    EXPECT_FALSE(outcome.started);
    EXPECT_FALSE(outcome.Succeeded());
}

TEST_F(Commands, CapturingGivesExitCodeAndOutputInTheAnsiCodePage) {
    Set(L"HOTSPOT_FAKE_EXIT", "3");
    SetEnvironmentVariableW(L"HOTSPOT_FAKE_OUTPUT", L"承载网络无法启动。");
    host::CommandOutcome outcome = host::RunCommandCapturingOutput(kFake + " fails", host::kHiddenWindow);
    EXPECT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitCode, 3u);
    EXPECT_EQ(outcome.output, "承载网络无法启动。");
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(Lines("show"), "257 0\n");  // STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES, hidden
}

TEST(Text, LengthCountsBytes) {
    EXPECT_EQ(host::TextLength("中文中文"), 8);
    EXPECT_EQ(host::TextLength(""), 0);
    EXPECT_EQ(host::TextLength("a b"), 3);
}

TEST(MessageBoxes, ShowTextAndCaptionAndAnswerZeroForOk) {
    std::string caption, text;
    std::thread dismisser([&] {
        HWND box = nullptr;
        for (int i = 0; i < 500 && !box; ++i, Sleep(10)) box = FindWindowA("#32770", "提示");
        ASSERT_TRUE(box);
        char buffer[256] = {};
        GetWindowTextA(box, buffer, sizeof buffer);
        caption = buffer;
        GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
        text = buffer;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(host::ShowMessageBox("密码不能小于8位！", 0, "提示"), 0);
    dismisser.join();
    EXPECT_EQ(caption, "提示");
    EXPECT_EQ(text, "密码不能小于8位！");
}

}  // namespace
