// The host: the layer between the program's logic and Windows. Every operation runs on the
// user-interface thread, throws nothing and shows no message of its own; failure is a false,
// zero or empty result.
#pragma once

#include "host/WindowDefinition.h"

#include <cstdint>
#include <string>

namespace host {

// A GBK text. Lengths count bytes; a missing text and the empty text are the same.
using Text = std::string;

// Property numbers the program uses.
enum Property : int {
    kVisible = 5,
    kDisabled = 6,
    kText = 8,         // edit box text, label caption
    kTextColour = 16,  // label
    kMode = 18,        // edit box input mode, check box checked state, window position
};

// Edit box input modes and window positions (property 18).
enum InputMode : int { kNormalInput = 0, kReadOnly = 1, kPasswordInput = 2 };
enum WindowPosition : int { kNormalPosition = 0, kCentred = 1, kMinimised = 2, kMaximised = 3 };

struct PropertyValue {
    std::int32_t number = 0;
    Text text;

    PropertyValue(std::int32_t value) : number(value) {}
    PropertyValue(const char* value) : text(value ? value : "") {}
    PropertyValue(Text value) : text(std::move(value)) {}
};

// Show modes of RunCommand: 1 hidden, 2 normal, 3 minimised, 4 maximised, 5 not activated,
// 6 minimised; values outside 1..6 are clamped.
inline constexpr int kHiddenWindow = 1;
inline constexpr int kNormalWindow = 2;

// What a command did, for callers that must know: whether it started, how it ended, and what it
// wrote to its standard output and error, converted from the OEM to the ANSI code page.
struct CommandOutcome {
    bool started = false;
    std::uint32_t exitCode = 0;
    Text output;

    bool Succeeded() const { return started && exitCode == 0; }
};

void InitializeHost();
void RegisterExitHandler(void (*routine)());
void OpenMainWindow(const WindowDefinition& window);
void RunMessageLoop();

PropertyValue GetProperty(int object, int number);
void SetProperty(int object, int number, const PropertyValue& value);

bool RunCommand(const Text& commandLine, bool wait = false, int showMode = kNormalWindow);
// Runs a command like RunCommand with wait = true, capturing its output through a pipe.
CommandOutcome RunCommandCapturingOutput(const Text& commandLine, int showMode);

int ShowMessageBox(const Text& text, int flags, const Text& caption = "信息：");
int TextLength(const Text& text);
void PumpEvents();

}  // namespace host

// The program's entry routine, called once the host has initialised itself. Its result is
// ignored; the process exit code is the value of the message loop's quit message.
int ProgramEntry();
