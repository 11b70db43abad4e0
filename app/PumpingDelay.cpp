#include "app/PumpingDelay.h"

#include "app/TextRoutines.h"
#include "host/Host.h"
#include "host/Scoped.h"

namespace app {
namespace {

// QS_KEY, QS_MOUSEMOVE, QS_MOUSEBUTTON, QS_POSTMESSAGE, QS_TIMER, QS_PAINT, QS_SENDMESSAGE and
// QS_HOTKEY.
constexpr DWORD kWakeMask = 0xFF;

class Deadline {
public:
    explicit Deadline(std::int32_t microseconds) : microseconds_(microseconds) {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }

    DWORD RemainingMilliseconds() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        std::int64_t elapsed = (now.QuadPart - start_.QuadPart) * 1000000 / frequency_.QuadPart;
        std::int64_t remaining = microseconds_ - elapsed;
        return remaining > 0 ? static_cast<DWORD>((remaining + 999) / 1000) : 0;
    }

private:
    std::int64_t microseconds_;
    LARGE_INTEGER frequency_{}, start_{};
};

}  // namespace

void WaitDispatching(HANDLE timer, std::int32_t microseconds) {
    Deadline deadline(microseconds);
    for (;;) {
        DWORD handles = timer ? 1 : 0;
        DWORD timeout = timer ? INFINITE : deadline.RemainingMilliseconds();
        if (!timer && timeout == 0) return;
        DWORD result = MsgWaitForMultipleObjects(handles, &timer, FALSE, timeout, kWakeMask);
        if (timer && result == WAIT_OBJECT_0) return;
        if (result == WAIT_OBJECT_0 + handles) {
            host::PumpEvents();
        } else if (result == WAIT_FAILED) {
            if (!timer) Sleep(1);  // cannot even wait for messages: keep the deadline without spinning
            timer = nullptr;
        }
    }
}

void PumpingDelay(std::int32_t microseconds) {
    LARGE_INTEGER dueTime;
    // Negative: relative, in units of 100 nanoseconds.
    dueTime.QuadPart = TruncateToInt64(microseconds * -10.0);
    host::ScopedHandle timer(CreateWaitableTimerA(nullptr, FALSE, nullptr));
    bool armed = timer.Valid() && SetWaitableTimer(timer.Get(), &dueTime, 0, nullptr, nullptr, FALSE);
    WaitDispatching(armed ? timer.Get() : nullptr, microseconds);
    if (armed) CancelWaitableTimer(timer.Get());
}

}  // namespace app
