// A modal dialog window built from the dialog's description: the window's
// outer size is the form's size, the controls sit at their places in the
// client area (a group box's controls relative to the box), with the form's
// font. The modal loop also runs the port layer's hand-overs while idle, as a
// modal form of a windowing library does.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/internal.h"
#include "platform/platform.h"

namespace os {

namespace {

const char* const kWindowClass = "VelkOptionsDialog";
constexpr int kFirstControlId = 1000;
// Height of a drop-down list's opened part; the closed control keeps its own.
constexpr int kDroppedListHeight = 200;
constexpr unsigned kIdleWaitMs = 1000;
const COLORREF kLinkColor = RGB(0, 0, 255);

struct DialogWindow {
  DialogModel* model = nullptr;
  DialogForm form;
  HWND window = nullptr;
  HFONT font = nullptr;
  std::vector<HWND> controls;  // by index in form.controls
  std::vector<int> ids;
  bool done = false;

  int IndexOfId(int id) const {
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) return static_cast<int>(i);
    }
    return -1;
  }

  int IndexOfWindow(HWND control) const {
    for (std::size_t i = 0; i < controls.size(); ++i) {
      if (controls[i] == control) return static_cast<int>(i);
    }
    return -1;
  }

  bool IsLink(HWND control) const {
    const int index = IndexOfWindow(control);
    return index >= 0 && form.controls[index].kind == DialogControlKind::LinkLabel;
  }

  void Send(const DialogEvent& event) {
    if (model->HandleEvent(event)) done = true;
  }
};

void OnCommand(DialogWindow& dialog, int id, int code, HWND source) {
  const int index = dialog.IndexOfId(id);
  if (index < 0) return;  // IDCANCEL from Esc: the form has no cancel button
  HWND control = dialog.controls[index];
  switch (dialog.form.controls[index].kind) {
    case DialogControlKind::Button:
      if (code == BN_CLICKED) dialog.Send({DialogEventKind::OkClicked, index, -1});
      break;
    case DialogControlKind::LinkLabel:
      if (code == STN_CLICKED && source == control) {
        dialog.Send({DialogEventKind::LabelClicked, index, -1});
      }
      break;
    case DialogControlKind::DropDownList:
      if (code == CBN_SELCHANGE) {
        const int selected = static_cast<int>(SendMessageA(control, CB_GETCURSEL, 0, 0));
        dialog.Send({DialogEventKind::SelectionChanged, index, selected});
      }
      break;
    default:
      break;
  }
}

LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* dialog = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (dialog == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case WM_COMMAND:
      OnCommand(*dialog, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_CLOSE:
      dialog->Send({DialogEventKind::Closed, -1, -1});
      return 0;
    case WM_CTLCOLORSTATIC:
      if (dialog->IsLink(reinterpret_cast<HWND>(lParam))) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, kLinkColor);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_SETCURSOR:
      if (dialog->IsLink(reinterpret_cast<HWND>(wParam))) {
        SetCursor(LoadCursor(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

SIZE TextSize(HFONT font, const std::string& text) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  RECT rect{0, 0, 0, 0};
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &rect, DT_CALCRECT | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

// Sets the closed height of a drop-down list, which the system derives from
// the height of its selection field.
void SetClosedHeight(HWND list, int wanted) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    RECT rect;
    GetWindowRect(list, &rect);
    const int difference = wanted - (rect.bottom - rect.top);
    if (difference == 0) return;
    const int field = static_cast<int>(SendMessageA(list, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    SendMessageA(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field + difference);
  }
}

// The window class, style and size of a control; labels measure their text
// when the form leaves their size to it.
struct ControlWindow {
  const char* windowClass = "STATIC";
  DWORD style = 0;
  int width = 0;
  int height = 0;
};

ControlWindow WindowOf(const DialogControl& c, HFONT font) {
  ControlWindow w;
  w.width = c.width;
  w.height = c.height;
  w.style = WS_CHILD | (c.visible ? WS_VISIBLE : 0) | (c.tabOrder >= 0 ? WS_TABSTOP : 0);
  switch (c.kind) {
    case DialogControlKind::Button:
      w.windowClass = "BUTTON";
      w.style |= BS_DEFPUSHBUTTON;
      break;
    case DialogControlKind::Label:
    case DialogControlKind::LinkLabel: {
      w.style |= SS_LEFT | SS_NOPREFIX | (c.kind == DialogControlKind::LinkLabel ? SS_NOTIFY : 0);
      const SIZE size = TextSize(font, c.caption);
      if (w.width == 0) w.width = size.cx;
      if (w.height == 0) w.height = size.cy;
      break;
    }
    case DialogControlKind::GroupBox:
      w.windowClass = "BUTTON";
      w.style |= BS_GROUPBOX;
      w.style &= ~static_cast<DWORD>(WS_TABSTOP);
      break;
    case DialogControlKind::CheckBox:
      w.windowClass = "BUTTON";
      w.style |= BS_AUTOCHECKBOX;
      break;
    case DialogControlKind::DropDownList:
      w.windowClass = "COMBOBOX";
      w.style |= CBS_DROPDOWNLIST | WS_VSCROLL;
      w.height = kDroppedListHeight;
      break;
  }
  return w;
}

void CreateControl(DialogWindow& dialog, int index, HINSTANCE instance) {
  const DialogControl& c = dialog.form.controls[index];
  int left = c.left;
  int top = c.top;
  if (c.parent >= 0) {
    left += dialog.form.controls[c.parent].left;
    top += dialog.form.controls[c.parent].top;
  }
  const ControlWindow w = WindowOf(c, dialog.font);
  HWND control = CreateWindowExA(0, w.windowClass, c.caption.c_str(), w.style, left, top, w.width, w.height,
                                 dialog.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(dialog.ids[index])),
                                 instance, nullptr);
  dialog.controls[index] = control;
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(dialog.font), FALSE);
  if (c.kind == DialogControlKind::CheckBox) {
    SendMessageA(control, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  if (c.kind == DialogControlKind::DropDownList) {
    for (const std::string& item : c.items) {
      SendMessageA(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(c.selected), 0);
    SetClosedHeight(control, c.height);
  }
}

// Tab order is creation order: tab stops first, in their order, then the rest.
std::vector<int> CreationOrder(const DialogForm& form) {
  std::vector<int> order(form.controls.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  auto rank = [&](int i) {
    const int tab = form.controls[i].tabOrder;
    return tab >= 0 ? tab : 1 << 20;
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return rank(a) < rank(b); });
  return order;
}

BOOL CALLBACK DisableThreadWindow(HWND window, LPARAM disabled) {
  if (IsWindowVisible(window) && IsWindowEnabled(window)) {
    EnableWindow(window, FALSE);
    reinterpret_cast<std::vector<HWND>*>(disabled)->push_back(window);
  }
  return TRUE;
}

// The form of the model with its control ids and its font.
void DescribeDialog(DialogWindow& dialog, DialogModel& model) {
  dialog.model = &model;
  dialog.form = model.Describe();
  const std::size_t count = dialog.form.controls.size();
  dialog.controls.assign(count, nullptr);
  dialog.ids.resize(count);
  bool haveDefault = false;
  for (std::size_t i = 0; i < count; ++i) {
    const bool isDefault = !haveDefault && dialog.form.controls[i].kind == DialogControlKind::Button;
    haveDefault = haveDefault || isDefault;
    // Enter in the dialog sends IDOK: the first button answers it.
    dialog.ids[i] = isDefault ? IDOK : kFirstControlId + static_cast<int>(i);
  }
  dialog.font = CreateFontA(-dialog.form.fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, dialog.form.fontName.c_str());
}

// Runs the dialog's messages until it is done; the code of a quit request
// that came meanwhile, which belongs to the host's loop.
std::optional<WPARAM> RunModalLoop(DialogWindow& dialog) {
  while (!dialog.done) {
    MSG message;
    while (!dialog.done && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        dialog.done = true;
        return message.wParam;
      }
      if (!IsDialogMessageA(dialog.window, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    if (dialog.done) break;
    RunHandOvers();
    WaitForWork(kIdleWaitMs);
  }
  return std::nullopt;
}

}  // namespace

bool ShowModalDialog(DialogModel& model) {
  HINSTANCE instance = detail::ThisModule();
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = DialogProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  // Registered per showing: the module may be unloaded between two showings.
  if (RegisterClassA(&windowClass) == 0) return false;

  DialogWindow dialog;
  DescribeDialog(dialog, model);
  RECT workArea;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
  const int left = workArea.left + (workArea.right - workArea.left - dialog.form.width) / 2;
  const int top = workArea.top + (workArea.bottom - workArea.top - dialog.form.height) / 2;

  std::vector<HWND> disabled;
  EnumThreadWindows(GetCurrentThreadId(), DisableThreadWindow, reinterpret_cast<LPARAM>(&disabled));

  // No WS_CLIPCHILDREN: a group box paints only its frame and caption, so its
  // inside must come from the window's own background.
  dialog.window = CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kWindowClass,
                                  dialog.form.caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, left, top,
                                  dialog.form.width, dialog.form.height, nullptr, nullptr, instance,
                                  &dialog);
  std::optional<WPARAM> quitCode;
  if (dialog.window != nullptr) {
    SendMessageA(dialog.window, WM_SETFONT, reinterpret_cast<WPARAM>(dialog.font), FALSE);
    for (int index : CreationOrder(dialog.form)) CreateControl(dialog, index, instance);
    ShowWindow(dialog.window, SW_SHOWNORMAL);
    SetForegroundWindow(dialog.window);
    SetFocus(GetNextDlgTabItem(dialog.window, nullptr, FALSE));
    quitCode = RunModalLoop(dialog);
    DestroyWindow(dialog.window);
  }

  for (HWND window : disabled) EnableWindow(window, TRUE);
  DeleteObject(dialog.font);
  UnregisterClassA(kWindowClass, instance);
  if (quitCode) PostQuitMessage(static_cast<int>(*quitCode));
  return dialog.window != nullptr;
}

int ScreenPixelsPerInch() {
  HDC screen = GetDC(nullptr);
  const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return pixelsPerInch;
}

int CompareTextIgnoreCase(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                        b.c_str(), static_cast<int>(b.size())) -
         CSTR_EQUAL;
}

}  // namespace os
