// The program's text routines, command building and settle delay.
#include "app/HotspotCommands.h"
#include "app/PumpingDelay.h"
#include "app/TextRoutines.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

namespace {

using namespace app;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

TEST(TextRoutines, CompareBytesAsUnsignedUpToTheFirstZero) {
    struct Case {
        std::string_view a, b;
        int sign;
    };
    const Case cases[] = {
        {"已启动", "已启动", 0},
        {"未启动", "已启动", -1},  // 0xCE against 0xD2
        {"", "", 0},
        {" ", "", 1},
        {"abc", "abd", -1},
        {"ab", "abc", -1},
        {std::string_view("ab\0x", 4), "ab", 0},
        {"\xFF", "a", 1},  // a signed char comparison would say less
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + std::string(c.b));
        int result = CompareText(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    EXPECT_FALSE(IsEmptyText("  "));
    EXPECT_TRUE(IsEmptyText(""));
}

TEST(TextRoutines, JoinCopiesThePartsInOrder) {
    EXPECT_EQ(JoinTexts({"love", "---", "40961357"}), "love---40961357");
    EXPECT_EQ(JoinTexts({"", "中文", ""}), "中文");
    EXPECT_EQ(JoinTexts({}), "");
}

TEST(TextRoutines, TruncateTowardZeroWithinRange) {
    EXPECT_EQ(TruncateToInt64(1000000 * -10.0), -10000000);
    EXPECT_EQ(TruncateToInt64(-2.9), -2);
    EXPECT_EQ(TruncateToInt64(2.9), 2);
    EXPECT_EQ(TruncateToInt64(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(TruncateToInt64(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(TruncateToInt64(std::nan("")), 0);
}

TEST(HotspotCommands, ConfigureCommandQuotesOnlyValuesWithSpacesOrTabs) {
    struct Case {
        std::string_view name, key, command;
    };
    const Case cases[] = {
        {"love", "40961357", "netsh wlan set hostednetwork mode=allow ssid=love key=40961357"},
        {"中文网络", "密码密码", "netsh wlan set hostednetwork mode=allow ssid=中文网络 key=密码密码"},
        {"my net", "12345678", "netsh wlan set hostednetwork mode=allow ssid=\"my net\" key=12345678"},
        {"net", "1234\t5678", "netsh wlan set hostednetwork mode=allow ssid=net key=\"1234\t5678\""},
        {"中 文", "", "netsh wlan set hostednetwork mode=allow ssid=\"中 文\" key="},
        {"", "", "netsh wlan set hostednetwork mode=allow ssid= key="},
    };
    for (const Case& c : cases) EXPECT_EQ(ConfigureCommand(c.name, c.key), c.command);
    EXPECT_EQ(std::string(kStartCommand), "netsh wlan start hostednetwork");
    EXPECT_EQ(std::string(kStopCommand), "netsh wlan stop hostednetwork");
}

TEST(HotspotCommands, DoubleQuotesCannotBePassed) {
    EXPECT_FALSE(CanPassToNetsh("a\"b"));
    EXPECT_TRUE(CanPassToNetsh("“中文”"));  // full-width quotes are ordinary characters
    EXPECT_TRUE(CanPassToNetsh(""));
}

// A hidden window that counts the messages dispatched to it.
class Dispatching : public ::testing::Test {
protected:
    static LRESULT CALLBACK Count(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) ++dispatched;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    void SetUp() override {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Count;
        windowClass.lpszClassName = "DelayCounter";
        RegisterClassA(&windowClass);
        window = CreateWindowA("DelayCounter", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        dispatched = 0;
    }
    void TearDown() override { DestroyWindow(window); }

    // Posts from another thread halfway, so the message arrives during the wait.
    Clock::duration TimeWith(const std::function<void()>& wait) {
        std::thread poster([this] {
            Sleep(100);
            PostMessageA(window, WM_APP, 0, 0);
        });
        auto start = Clock::now();
        wait();
        auto elapsed = Clock::now() - start;
        poster.join();
        return elapsed;
    }

    HWND window = nullptr;
    static inline int dispatched = 0;
};

TEST_F(Dispatching, DelayWaitsItsTimeAndDispatchesMessages) {
    auto elapsed = TimeWith([] { PumpingDelay(300000); });
    EXPECT_GE(elapsed, 295ms);
    EXPECT_LT(elapsed, 600ms);
    EXPECT_EQ(dispatched, 1);
}

TEST_F(Dispatching, DelayEndsWithoutATimer) {
    auto elapsed = TimeWith([] { WaitDispatching(nullptr, 300000); });
    EXPECT_GE(elapsed, 295ms);
    EXPECT_LT(elapsed, 600ms);
    EXPECT_EQ(dispatched, 1);
}

TEST_F(Dispatching, DelayEndsWhenWaitingOnTheTimerFails) {
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);  // waiting on it now fails
    auto elapsed = TimeWith([closed] { WaitDispatching(closed, 300000); });
    EXPECT_GE(elapsed, 295ms);
    EXPECT_LT(elapsed, 600ms);
    EXPECT_EQ(dispatched, 1);
}

}  // namespace
