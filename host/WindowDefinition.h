// The form in which a window is defined: data, one row per control, as a resource script holds a
// dialog. The host builds whatever the definition says; handlers address objects by number.
#pragma once

#include <cstdint>
#include <span>

namespace host {

// Object number of the window itself; controls are numbered from 1 in the order of their rows.
inline constexpr int kMainWindow = 0;
// Page of a control that is a direct child of the window rather than of a tab page.
inline constexpr int kNoPage = -1;
// Windows control identifier of object n is kFirstControlId + n.
inline constexpr int kFirstControlId = 1000;

enum class ControlKind { Label, EditBox, Button, CheckBox, PictureBox, TabControl };

enum class EventKind { Created, CanBeClosed, TrayEvent, Clicked, LeftButtonReleased };

// What the host passes to a handler: the object, the event, its arguments, and room for an answer.
struct EventRecord {
    int object = kMainWindow;
    EventKind event = EventKind::Created;
    std::int32_t arguments[5] = {};
    std::int32_t answer = 0;
    bool answered = false;

    void Answer(std::int32_t value) {
        answer = value;
        answered = true;
    }
};

using EventHandler = void (*)(EventRecord& event);

struct EventBinding {
    int object;
    EventKind event;
    EventHandler handler;
};

struct ByteView {
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
};

using Colour = std::uint32_t;  // COLORREF, 0x00BBGGRR
inline constexpr Colour kBlack = 0x000000;

struct ControlDefinition {
    int object;
    const char* name;
    ControlKind kind;
    int page;  // page of the tab control, or kNoPage
    int left, top, width, height;
    const char* text = "";  // text, caption, or the tab control's page captions joined by '\n'
    bool visible = true;
    Colour textColour = kBlack;  // labels
    bool wordWrap = false;       // labels
    bool password = false;       // edit boxes: input mode 2, each character shown as '*'
};

struct WindowDefinition {
    const char* title;
    int width, height;  // outer size; the window opens centred on the primary screen
    std::span<const ControlDefinition> controls;
    std::span<const int> focusOrder;  // the Tab cycle, as object numbers
    std::span<const EventBinding> events;
};

}  // namespace host
