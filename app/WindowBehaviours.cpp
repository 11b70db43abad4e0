#include "app/WindowBehaviours.h"

#include "app/HotspotController.h"
#include "app/TextRoutines.h"
#include "host/Host.h"
#include "ui/MainWindow.h"

namespace app {

// During a start sequence's settle delay the status still reads "未启动", but the sequence is
// about to start the hotspot and write to the window: the close waits until it has ended.
void OnCanBeClosed(host::EventRecord& event) {
    if (StartInProgress()) return event.Answer(false);
    if (CompareText(host::GetProperty(ui::标签9, host::kText).text, "已启动") != 0) return;
    host::ShowMessageBox("退出前请先关闭WiFi！", 0, "提示");
    event.Answer(false);
}

}  // namespace app
