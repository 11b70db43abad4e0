// The real program under Wine, with fake netsh and control beside it.
#include "tests/system/Driver.h"

#include "ui/MainWindow.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace driver;
using namespace ui;

constexpr char kDefaultConfigure[] = "netsh wlan set hostednetwork mode=allow ssid=love key=40961357";
constexpr char kStart[] = "netsh wlan start hostednetwork";
constexpr char kStop[] = "netsh wlan stop hostednetwork";

void ExpectStopped(const ProgramUnderTest& program) {
    EXPECT_TRUE(program.Visible(按钮开始));
    EXPECT_FALSE(program.Visible(按钮结束));
    EXPECT_TRUE(program.Enabled(编辑框1));
    EXPECT_TRUE(program.Enabled(编辑框2));
    EXPECT_EQ(program.Text(标签9), "未启动");
    // The screen shows the new colour once the label has been repainted.
    EXPECT_TRUE(WaitUntil([&] { return program.LabelHue(标签9) == Hue::Red; }, 2s));
}

void ExpectRunning(const ProgramUnderTest& program) {
    EXPECT_FALSE(program.Visible(按钮开始));
    EXPECT_TRUE(program.Visible(按钮结束));
    EXPECT_FALSE(program.Enabled(编辑框1));
    EXPECT_FALSE(program.Enabled(编辑框2));
    EXPECT_EQ(program.Text(标签9), "已启动");
    EXPECT_TRUE(WaitUntil([&] { return program.LabelHue(标签9) == Hue::Green; }, 2s));
}

bool WaitForLogLines(const ProgramUnderTest& program, std::size_t count, Clock::duration timeout = 10s) {
    return WaitUntil([&] { return program.NetshLog().size() >= count; }, timeout);
}

// Started and shown, with the start-up configure run logged.
void Open(ProgramUnderTest& program) {
    program.Start();
    ASSERT_TRUE(program.WaitForWindow());
    ASSERT_TRUE(WaitForLogLines(program, 1));
}

void StartHotspot(ProgramUnderTest& program, const std::string& name, const std::string& key) {
    program.SetText(编辑框1, name);
    program.SetText(编辑框2, key);
    std::size_t before = program.NetshLog().size();
    program.Click(按钮开始);
    ASSERT_TRUE(WaitForLogLines(program, before + 2));
    ASSERT_TRUE(WaitUntil([&] { return program.Text(标签9) == "已启动"; }));
}

TEST(Startup, ConfiguresHiddenAndWaitsBeforeTheWindowShows) {
    ProgramUnderTest program;
    program.SetFake(L"HOTSPOT_FAKE_DELAY_MS", L"1500");
    program.SetFake(L"HOTSPOT_FAKE_SHOW_LOG", std::wstring(program.Folder().begin(), program.Folder().end()) + L"\\show.log");
    program.Start();
    // While netsh runs, no window of the program is on the screen.
    bool windowBeforeNetshEnded = false;
    ASSERT_TRUE(WaitUntil([&] {
        bool logged = !program.NetshLog().empty();
        windowBeforeNetshEnded = windowBeforeNetshEnded || (!logged && program.HasVisibleWindow());
        return logged;
    }, 10s));
    EXPECT_FALSE(windowBeforeNetshEnded);
    ASSERT_TRUE(program.WaitForWindow());
    EXPECT_EQ(program.NetshLog(), std::vector<std::string>{kDefaultConfigure});
    EXPECT_EQ(program.ReadLines("show.log"), std::vector<std::string>{"1 0"});  // STARTF_USESHOWWINDOW, SW_HIDE
    EXPECT_EQ(program.Text(编辑框1), "love");
    EXPECT_EQ(program.Text(编辑框2), "40961357");
    ExpectStopped(program);
}

TEST(StartClick, RefusesBadInputWithOneMessageAndNoCommand) {
    struct Case {
        std::string name, key, message;
    };
    const Case cases[] = {
        {"", "", "你还没输入WiFi名称！"},
        {"net", "", "你还没输入WiFi密码！"},
        {"net", "1234567", "密码不能小于8位！"},
        {"net", "中文中a", "密码不能小于8位！"},  // three double-byte characters and one byte: 7 bytes
        {"my\"net", "12345678", "WiFi名称和密码不能含有双引号（\"）！"},
        {"net", "1234\"5678", "WiFi名称和密码不能含有双引号（\"）！"},
    };
    ProgramUnderTest program;
    Open(program);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " / " + c.key);
        program.SetText(编辑框1, c.name);
        program.SetText(编辑框2, c.key);
        program.Click(按钮开始);
        auto box = program.WaitForMessageBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->caption, "提示");
        EXPECT_EQ(box->text, c.message);
        program.DismissMessageBox();
        EXPECT_FALSE(program.WaitForMessageBox(300ms));
        EXPECT_EQ(program.NetshLog().size(), 1u);
        ExpectStopped(program);
    }
}

TEST(StartClick, AcceptsKeysOfEightBytesAndPassesTheValuesAsTyped) {
    struct Case {
        std::string name, key, configure;
    };
    const Case cases[] = {
        {"net", "12345678", "netsh wlan set hostednetwork mode=allow ssid=net key=12345678"},
        {"网络", "中文中文", "netsh wlan set hostednetwork mode=allow ssid=网络 key=中文中文"},
        {"my net", "1234 5678", "netsh wlan set hostednetwork mode=allow ssid=\"my net\" key=\"1234 5678\""},
        {"   ", "        ", "netsh wlan set hostednetwork mode=allow ssid=\"   \" key=\"        \""},
    };
    ProgramUnderTest program;
    Open(program);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configure);
        std::size_t before = program.NetshLog().size();
        StartHotspot(program, c.name, c.key);
        std::vector<std::string> log = program.NetshLog();
        ASSERT_EQ(log.size(), before + 2);
        EXPECT_EQ(log[before], c.configure);
        EXPECT_EQ(log[before + 1], kStart);
        ExpectRunning(program);
        program.Click(按钮结束);
        ASSERT_TRUE(WaitUntil([&] { return program.Text(标签9) == "未启动"; }));
        EXPECT_EQ(program.NetshLog().back(), kStop);
        ExpectStopped(program);
    }
}

TEST(StartClick, StartCommandRunsWithButtonsSwappedAndTheStatusStillRed) {
    ProgramUnderTest program;
    program.SetFake(L"HOTSPOT_FAKE_DELAY_MS", L"1500");
    Open(program);
    program.Click(按钮开始);
    ASSERT_TRUE(WaitForLogLines(program, 2));
    // The start command is running once the stop button shows and the boxes are locked, the
    // last step before it; the window is blocked then, so only what needs no answer from it is
    // read: styles and the screen.
    ASSERT_TRUE(WaitUntil([&] { return program.Visible(按钮结束) && !program.Enabled(编辑框2); }));
    EXPECT_EQ(program.NetshLog().size(), 2u);
    EXPECT_FALSE(program.Visible(按钮开始));
    EXPECT_FALSE(program.Enabled(编辑框1));
    EXPECT_FALSE(program.Enabled(编辑框2));
    EXPECT_EQ(program.LabelHue(标签9), Hue::Red);
    ASSERT_TRUE(WaitForLogLines(program, 3));
    ASSERT_TRUE(WaitUntil([&] { return program.Text(标签9) == "已启动"; }));
    ExpectRunning(program);
}

struct Failure {
    const wchar_t* failOn;
    const char* message;
    bool needsRunningHotspot;  // stopping fails only after a start that succeeded
};

class FailingNetsh : public ::testing::TestWithParam<Failure> {};

TEST_P(FailingNetsh, EndsStoppedAndShowsNetshsOwnWords) {
    ProgramUnderTest program;
    program.SetFake(L"HOTSPOT_FAKE_FAIL_ON", GetParam().failOn);
    program.SetFake(L"HOTSPOT_FAKE_EXIT", L"1");
    program.SetFake(L"HOTSPOT_FAKE_OUTPUT", L"无法启动承载网络。");
    Open(program);
    program.Click(按钮开始);
    auto box = program.WaitForMessageBox(10s);
    if (GetParam().needsRunningHotspot) {
        ASSERT_FALSE(box);
        ExpectRunning(program);
        program.Click(按钮结束);
        box = program.WaitForMessageBox(10s);
    }
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "提示");
    EXPECT_EQ(box->text, std::string(GetParam().message) + "netsh返回1。\r\n\r\n无法启动承载网络。");
    ExpectStopped(program);
    program.DismissMessageBox();
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailingNetsh,
                         ::testing::Values(Failure{L"set hostednetwork", "配置WiFi热点失败：", false},
                                           Failure{L"start hostednetwork", "启动WiFi热点失败：", false},
                                           Failure{L"stop hostednetwork", "停止WiFi热点失败：", true}));

TEST(StartClick, ConfigureFailureRunsNoStartCommand) {
    ProgramUnderTest program;
    program.SetFake(L"HOTSPOT_FAKE_FAIL_ON", L"set hostednetwork");
    program.SetFake(L"HOTSPOT_FAKE_EXIT", L"1");
    Open(program);
    program.Click(按钮开始);
    ASSERT_TRUE(program.WaitForMessageBox());
    EXPECT_EQ(program.NetshLog(), (std::vector<std::string>{kDefaultConfigure, kDefaultConfigure}));
}

TEST(StartClick, ReportsANetshThatCannotBeStarted) {
    ProgramUnderTest program;
    Open(program);
    // Not an executable: CreateProcess finds it first and cannot run it.
    HANDLE file = CreateFileA(program.PathOf("netsh.exe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "not a program", 13, &written, nullptr);
    CloseHandle(file);
    program.Click(按钮开始);
    auto box = program.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "配置WiFi热点失败：无法运行netsh。");
    ExpectStopped(program);
}

TEST(SettleDelay, LastsOneSecondWhileTheWindowRepaintsAndTakesInput) {
    ProgramUnderTest program;
    Open(program);
    program.Click(按钮开始);
    ASSERT_TRUE(WaitForLogLines(program, 2));
    auto configured = Clock::now();
    // Input is taken: a click on the check box toggles it, a second start click is ignored.
    EXPECT_TRUE(program.Responds());
    program.Click(选择框1);
    program.Click(按钮开始);
    EXPECT_TRUE(WaitUntil([&] { return program.Checked(选择框1); }, 500ms));
    // Painting goes on: new text in a box reaches the screen.
    std::vector<COLORREF> before = program.Pixels(编辑框1);
    program.SetText(编辑框1, "WWWWWWWWWWWW");
    EXPECT_TRUE(WaitUntil([&] { return program.Pixels(编辑框1) != before; }, 500ms));
    // A close request is refused while the sequence runs.
    program.RequestClose();
    ASSERT_TRUE(WaitForLogLines(program, 3));
    auto delay = Clock::now() - configured;
    EXPECT_GE(delay, 950ms);
    EXPECT_LT(delay, 2500ms);
    ASSERT_TRUE(WaitUntil([&] { return program.Text(标签9) == "已启动"; }));
    EXPECT_TRUE(program.Running());
    EXPECT_FALSE(program.WaitForMessageBox(300ms));
    EXPECT_EQ(program.NetshLog(), (std::vector<std::string>{kDefaultConfigure, kDefaultConfigure, kStart}));
}

TEST(Closing, IsRefusedWhileRunningAndEndsTheProgramOnceStopped) {
    ProgramUnderTest program;
    Open(program);
    StartHotspot(program, "love", "40961357");
    program.RequestClose();
    auto box = program.WaitForMessageBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "提示");
    EXPECT_EQ(box->text, "退出前请先关闭WiFi！");
    program.DismissMessageBox();
    EXPECT_FALSE(program.WaitForExit(500ms));
    EXPECT_TRUE(IsWindowVisible(program.Window()));
    program.Click(按钮结束);
    ASSERT_TRUE(WaitUntil([&] { return program.Text(标签9) == "未启动"; }));
    program.RequestClose();
    EXPECT_EQ(program.WaitForExit(), 0u);
}

TEST(Closing, WhileStoppedEndsWithExitCodeZeroAndNoMessage) {
    ProgramUnderTest program;
    Open(program);
    program.RequestClose();
    EXPECT_EQ(program.WaitForExit(), 0u);
    EXPECT_FALSE(program.HasVisibleWindow());
}

}  // namespace
