#include "app/HotspotController.h"

#include "app/HotspotCommands.h"
#include "app/PumpingDelay.h"
#include "app/TextRoutines.h"
#include "host/Host.h"
#include "ui/MainWindow.h"

namespace app {
namespace {

using host::GetProperty;
using host::SetProperty;
using namespace ui;

constexpr host::Colour kRed = 255;
constexpr host::Colour kGreen = 65280;
constexpr std::int32_t kSettleDelay = 1000000;  // microseconds

bool startInProgress = false;

class StartSequence {
public:
    StartSequence() { startInProgress = true; }
    ~StartSequence() { startInProgress = false; }
    StartSequence(const StartSequence&) = delete;
    StartSequence& operator=(const StartSequence&) = delete;
};

host::Text TextOf(int box) { return GetProperty(box, host::kText).text; }

void Notify(const char* text) { host::ShowMessageBox(text, 0, "提示"); }

// Checks the name and key in order; shows the first failure and answers false.
bool InputAccepted(const host::Text& name, const host::Text& key) {
    if (IsEmptyText(name)) return Notify("你还没输入WiFi名称！"), false;
    if (IsEmptyText(key)) return Notify("你还没输入WiFi密码！"), false;
    if (host::TextLength(key) < 8) return Notify("密码不能小于8位！"), false;
    if (!CanPassToNetsh(name) || !CanPassToNetsh(key)) return Notify("WiFi名称和密码不能含有双引号（\"）！"), false;
    return true;
}

host::CommandOutcome RunNetsh(const host::Text& commandLine) {
    return host::RunCommandCapturingOutput(commandLine, host::kHiddenWindow);
}

// Says which step failed and what netsh itself answered.
void ReportFailure(const char* step, const host::CommandOutcome& outcome) {
    host::Text text = JoinTexts({step, "WiFi热点失败："});
    if (!outcome.started) {
        text += "无法运行netsh。";
    } else {
        text += JoinTexts({"netsh返回", std::to_string(outcome.exitCode), "。"});
        if (!outcome.output.empty()) text += JoinTexts({"\r\n\r\n", outcome.output});
    }
    Notify(text.c_str());
}

void ShowStartButton() {
    SetProperty(按钮结束, host::kVisible, 0);
    SetProperty(按钮开始, host::kVisible, 1);
}

void ShowStopButtonAndLockBoxes() {
    SetProperty(按钮开始, host::kVisible, 0);
    SetProperty(按钮结束, host::kVisible, 1);
    SetProperty(编辑框1, host::kDisabled, 1);
    SetProperty(编辑框2, host::kDisabled, 1);
}

void UnlockBoxes() {
    SetProperty(编辑框1, host::kDisabled, 0);
    SetProperty(编辑框2, host::kDisabled, 0);
}

void ShowRunningStatus() {
    SetProperty(标签9, host::kTextColour, static_cast<std::int32_t>(kGreen));
    SetProperty(标签9, host::kText, "已启动");
}

}  // namespace

void ShowStoppedStatus() {
    SetProperty(标签9, host::kTextColour, static_cast<std::int32_t>(kRed));
    SetProperty(标签9, host::kText, "未启动");
}

bool StartInProgress() { return startInProgress; }

// A second click during the settle delay is ignored, so the sequence never runs nested.
void OnStartClicked(host::EventRecord&) {
    if (startInProgress) return;
    host::Text name = TextOf(编辑框1);
    host::Text key = TextOf(编辑框2);
    if (!InputAccepted(name, key)) return;
    // The name and key are saved to the credential file here, before netsh runs.
    StartSequence sequence;
    host::CommandOutcome configured = RunNetsh(ConfigureCommand(name, key));
    if (!configured.Succeeded()) return ReportFailure("配置", configured);
    PumpingDelay(kSettleDelay);
    ShowStopButtonAndLockBoxes();
    host::CommandOutcome started = RunNetsh(kStartCommand);
    if (!started.Succeeded()) {
        ShowStartButton();
        UnlockBoxes();
        return ReportFailure("启动", started);
    }
    ShowRunningStatus();
}

// The window returns to the stopped state whatever netsh answered; a failure is shown after.
void OnStopClicked(host::EventRecord&) {
    ShowStartButton();
    host::CommandOutcome stopped = RunNetsh(kStopCommand);
    ShowStoppedStatus();
    UnlockBoxes();
    if (!stopped.Succeeded()) ReportFailure("停止", stopped);
}

void ConfigureSilently() {
    host::Text name = TextOf(编辑框1);
    host::Text key = TextOf(编辑框2);
    if (CanPassToNetsh(name) && CanPassToNetsh(key))
        host::RunCommand(ConfigureCommand(name, key), true, host::kHiddenWindow);
}

}  // namespace app
