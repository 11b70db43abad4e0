// The main window: its objects, numbered as the host numbers the rows of the definition.
#pragma once

#include "host/WindowDefinition.h"

#include <span>

namespace ui {

enum MainWindowObject : int {
    主窗口 = host::kMainWindow,
    标签1 = 1,
    编辑框1,
    标签6,
    标签2,
    编辑框2,
    标签3,
    编辑框a,
    选择框1,
    按钮开始,
    按钮结束,
    按钮1,
    标签8,
    标签9,
    标签4,
    图片框2,
    图片框1,
    按钮设置,
    标签7,
    标签5,
    标签11,
    标签10,
    选择夹1,
    编辑框e,
    编辑框b,
    编辑框c,
    编辑框d,
};

// The definition, bound to the program's event handlers.
host::WindowDefinition MainWindow(std::span<const host::EventBinding> events);

}  // namespace ui
