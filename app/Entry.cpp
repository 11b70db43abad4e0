// The entry routine and the main window's created event.
#include "app/HotspotController.h"
#include "app/WindowBehaviours.h"
#include "host/Host.h"
#include "ui/MainWindow.h"

namespace {

using host::EventKind;
using namespace ui;

void OnMainWindowCreated(host::EventRecord&) {
    // The carried skin is applied here first, once the skin library is carried.
    app::ShowStoppedStatus();
    // The boxes are refilled from the credential file here.
    host::SetProperty(按钮结束, host::kVisible, 0);
    app::ConfigureSilently();
}

constexpr host::EventBinding kEvents[] = {
    {主窗口, EventKind::Created, OnMainWindowCreated},
    {主窗口, EventKind::CanBeClosed, app::OnCanBeClosed},
    {按钮开始, EventKind::Clicked, app::OnStartClicked},
    {按钮结束, EventKind::Clicked, app::OnStopClicked},
};

}  // namespace

// The skin library is created, its exit handler registered and the library mapped here, before
// the window opens.
int ProgramEntry() {
    host::OpenMainWindow(ui::MainWindow(kEvents));
    host::RunMessageLoop();
    return 0;
}
