#include "ui/MainWindow.h"

namespace ui {
namespace {

using host::ControlKind;
using host::kNoPage;

constexpr int kMainPage = 0;
constexpr int kHelpPage = 1;
constexpr host::Colour kBlue = 0xFF0000;
constexpr host::Colour kRed = 0x0000FF;

constexpr char kHelpText[] =
    "2.右击宽带连接--属性--共享，在“家庭网络连接(H)”里\r\n"
    "面选择如上图的“无线网络连接2”，勾选“允许其他网络用户通过此计算机的。。。” 【注：不一定是选宽带连接，你当前用什么联网就选什么】\r\n"
    "\r\n"
    "3.这样就设置完成了，回到主界面点“开启”即可。\r\n"
    "-----------------------------------------------------\r\n"
    "    以上设置只需第一次使用软件时设置，以后直接运行软件开启即可。【若对方电脑已连接上但无法上网，拔掉网线即可】\r\n"
    "    爱我中华，钓鱼岛是中国的！                                                                ---木樨风";

constexpr host::ControlDefinition kControls[] = {
    {.object = 标签1, .name = "标签1", .kind = ControlKind::Label, .page = kMainPage, .left = 33, .top = 41, .width = 55, .height = 24, .text = "WiFi名称："},
    {.object = 编辑框1, .name = "编辑框1", .kind = ControlKind::EditBox, .page = kMainPage, .left = 96, .top = 42, .width = 112, .height = 25, .text = "love"},
    {.object = 标签6, .name = "标签6", .kind = ControlKind::Label, .page = kMainPage, .left = 221, .top = 44, .width = 86, .height = 21, .text = "输入字母或数字"},
    {.object = 标签2, .name = "标签2", .kind = ControlKind::Label, .page = kMainPage, .left = 57, .top = 90, .width = 31, .height = 24, .text = "密码："},
    {.object = 编辑框2, .name = "编辑框2", .kind = ControlKind::EditBox, .page = kMainPage, .left = 96, .top = 90, .width = 112, .height = 25, .text = "40961357", .password = true},
    {.object = 标签3, .name = "标签3", .kind = ControlKind::Label, .page = kMainPage, .left = 221, .top = 93, .width = 103, .height = 19, .text = "密码不能小于8位数"},
    {.object = 编辑框a, .name = "编辑框a", .kind = ControlKind::EditBox, .page = kMainPage, .left = 18, .top = 122, .width = 80, .height = 20, .visible = false},
    {.object = 选择框1, .name = "选择框1", .kind = ControlKind::CheckBox, .page = kMainPage, .left = 96, .top = 123, .width = 70, .height = 16, .text = "显示密码"},
    {.object = 按钮开始, .name = "按钮开始", .kind = ControlKind::Button, .page = kMainPage, .left = 122, .top = 153, .width = 60, .height = 32, .text = "开启"},
    {.object = 按钮结束, .name = "按钮结束", .kind = ControlKind::Button, .page = kMainPage, .left = 122, .top = 153, .width = 60, .height = 32, .text = "停止"},
    {.object = 按钮1, .name = "按钮1", .kind = ControlKind::Button, .page = kMainPage, .left = 227, .top = 158, .width = 80, .height = 22, .text = "最小化到托盘"},
    {.object = 标签8, .name = "标签8", .kind = ControlKind::Label, .page = kMainPage, .left = 10, .top = 162, .width = 52, .height = 14, .text = "当前状态："},
    {.object = 标签9, .name = "标签9", .kind = ControlKind::Label, .page = kMainPage, .left = 70, .top = 162, .width = 44, .height = 14},
    {.object = 标签4, .name = "标签4", .kind = ControlKind::Label, .page = kMainPage, .left = 10, .top = 198, .width = 153, .height = 15, .text = "更多内容更新关注我吧！^_^\r\n", .textColour = kBlue},
    {.object = 图片框2, .name = "图片框2", .kind = ControlKind::PictureBox, .page = kMainPage, .left = 165, .top = 196, .width = 20, .height = 20},
    {.object = 图片框1, .name = "图片框1", .kind = ControlKind::PictureBox, .page = kHelpPage, .left = 162, .top = 21, .width = 181, .height = 46},
    {.object = 按钮设置, .name = "按钮设置", .kind = ControlKind::Button, .page = kHelpPage, .left = 50, .top = 27, .width = 48, .height = 18, .text = "设置"},
    {.object = 标签7, .name = "标签7", .kind = ControlKind::Label, .page = kHelpPage, .left = 102, .top = 27, .width = 59, .height = 19, .text = "会看到有个"},
    {.object = 标签5, .name = "标签5", .kind = ControlKind::Label, .page = kHelpPage, .left = 11, .top = 29, .width = 37, .height = 15, .text = "1.点击", .wordWrap = true},
    {.object = 标签11, .name = "标签11", .kind = ControlKind::Label, .page = kHelpPage, .left = -1, .top = 50, .width = 179, .height = 13, .text = "【注意对应的图片红色圈圈名称】", .textColour = kRed},
    {.object = 标签10, .name = "标签10", .kind = ControlKind::Label, .page = kHelpPage, .left = 12, .top = 71, .width = 319, .height = 152, .text = kHelpText, .wordWrap = true},
    {.object = 选择夹1, .name = "选择夹1", .kind = ControlKind::TabControl, .page = kNoPage, .left = -2, .top = -2, .width = 344, .height = 228, .text = "主界面\n用前必读"},
    {.object = 编辑框e, .name = "编辑框e", .kind = ControlKind::EditBox, .page = kNoPage, .left = 9, .top = 117, .width = 80, .height = 20, .visible = false},
    {.object = 编辑框b, .name = "编辑框b", .kind = ControlKind::EditBox, .page = kNoPage, .left = 9, .top = 125, .width = 80, .height = 20, .visible = false},
    {.object = 编辑框c, .name = "编辑框c", .kind = ControlKind::EditBox, .page = kNoPage, .left = 9, .top = 125, .width = 80, .height = 20, .visible = false},
    {.object = 编辑框d, .name = "编辑框d", .kind = ControlKind::EditBox, .page = kNoPage, .left = 9, .top = 125, .width = 80, .height = 20, .visible = false},
};

constexpr int kFocusOrder[] = {编辑框1, 编辑框2, 按钮开始, 按钮结束, 按钮1, 选择框1, 按钮设置};

}  // namespace

host::WindowDefinition MainWindow(std::span<const host::EventBinding> events) {
    return {.title = "星澜网桥V2.0", .width = 345, .height = 250, .controls = kControls, .focusOrder = kFocusOrder, .events = events};
}

}  // namespace ui
