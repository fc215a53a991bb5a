// Opens the options dialog through the module's FsExecuteFile (or, without a
// module, through RunOptionsDialog) and, from a second thread, reads the
// window back, compares it with the form's layout, saves a picture of it,
// chooses a port and presses OK; then checks the settings file.
//   wine_options_dialog MODULE|- EXPECTED_PORT REPORT SHOT.bmp
// Writes "ok" or the failures to REPORT (Wine's own exit codes can't be
// trusted), and exits 0 only when everything matched.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dialog/Unit2.h"

namespace {

constexpr DWORD kFindWindowMs = 20000;
constexpr DWORD kPollMs = 50;

std::vector<std::string> failures;
std::string reportPath;

void WriteReport() {
  std::string report = failures.empty() ? "ok\n" : "";
  for (const std::string& failure : failures) report += "FAIL: " + failure + "\n";
  std::fputs(report.c_str(), stdout);
  std::fflush(stdout);
  if (FILE* out = std::fopen(reportPath.c_str(), "w")) {
    std::fputs(report.c_str(), out);
    std::fclose(out);
  }
}

void Check(bool condition, const std::string& what) {
  if (!condition) failures.push_back(what);
}

std::string Text(HWND window) {
  char buffer[512] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string ClassOf(HWND window) {
  char buffer[64] = {};
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

struct Child {
  HWND window;
  std::string className;
  std::string text;
  RECT rect;  // in the dialog's client coordinates
  bool visible;
};

struct Children {
  HWND dialog;
  std::vector<Child> list;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
  auto* children = reinterpret_cast<Children*>(param);
  RECT rect;
  GetWindowRect(window, &rect);
  MapWindowPoints(HWND_DESKTOP, children->dialog, reinterpret_cast<POINT*>(&rect), 2);
  children->list.push_back({window, ClassOf(window), Text(window), rect,
                            (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0});
  return TRUE;
}

const Child* FindChild(const Children& children, const std::string& className, int left, int top) {
  for (const Child& c : children.list) {
    if (_stricmp(c.className.c_str(), className.c_str()) == 0 && c.rect.left == left &&
        c.rect.top == top) {
      return &c;
    }
  }
  return nullptr;
}

// Looks for a control of the layout at its place and checks what it shows.
const Child* Expect(const Children& children, const char* name, const char* className, int left,
                    int top, int width, int height, bool visible) {
  const Child* c = FindChild(children, className, left, top);
  if (c == nullptr) {
    failures.push_back(std::string(name) + ": no " + className + " at " + std::to_string(left) +
                       "," + std::to_string(top));
    return nullptr;
  }
  if (width > 0) Check(c->rect.right - c->rect.left == width, std::string(name) + ": width");
  if (height > 0) Check(c->rect.bottom - c->rect.top == height, std::string(name) + ": height");
  Check(c->visible == visible, std::string(name) + ": visibility");
  return c;
}

std::vector<std::string> ListItems(HWND list) {
  std::vector<std::string> items;
  const int count = static_cast<int>(SendMessageA(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char buffer[256] = {};
    SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buffer));
    items.push_back(buffer);
  }
  return items;
}

std::vector<std::string> RegistryPorts() {
  std::vector<std::string> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != 0) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    char name[256], data[256];
    DWORD nameLength = sizeof name, dataLength = sizeof data;
    if (RegEnumValueA(key, i, name, &nameLength, nullptr, nullptr,
                      reinterpret_cast<BYTE*>(data), &dataLength) != 0) {
      break;
    }
    ports.emplace_back(data, dataLength > 0 ? dataLength - 1 : 0);
  }
  RegCloseKey(key);
  return ports;
}

int IndexOf(const std::vector<std::string>& items, const std::string& wanted) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == wanted) return static_cast<int>(i);
  }
  return -1;
}

// Saves the screen area of `rect`, grown by a margin, as a 24-bit BMP.
void SaveScreenshot(const RECT& window, const std::string& path) {
  const int margin = 12;
  const int left = window.left - margin, top = window.top - margin;
  const int width = window.right - window.left + 2 * margin;
  const int height = window.bottom - window.top + 2 * margin;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((width * 3) + 3) & ~3u;
  const DWORD imageSize = stride * height;
  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof header + sizeof info.bmiHeader;
  header.bfSize = header.bfOffBits + imageSize;
  if (FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&header, sizeof header, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, imageSize, 1, out);
    std::fclose(out);
  } else {
    failures.push_back("cannot write the screenshot " + path);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

struct WatchArgs {
  std::string expectedPort;
  std::string shotPath;
};

DWORD WINAPI Watch(LPVOID param) {
  const auto* args = static_cast<WatchArgs*>(param);
  HWND dialog = nullptr;
  for (DWORD waited = 0; waited < kFindWindowMs && dialog == nullptr; waited += kPollMs) {
    Sleep(kPollMs);
    dialog = FindWindowA(nullptr, "Options ");
    if (dialog != nullptr && !IsWindowVisible(dialog)) dialog = nullptr;
  }
  if (dialog == nullptr) {
    failures.push_back("no window captioned \"Options \" appeared");
    WriteReport();
    ExitProcess(3);  // the dialog will never be closed: end the test here
  }
  Sleep(300);  // let it paint before the picture is taken

  RECT outer;
  GetWindowRect(dialog, &outer);
  Check(outer.right - outer.left == 336, "window width " + std::to_string(outer.right - outer.left));
  Check(outer.bottom - outer.top == 258, "window height " + std::to_string(outer.bottom - outer.top));
  Check(Text(dialog) == "Options ", "caption");

  Children children{dialog, {}};
  EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
  const Child* ok = Expect(children, "Button1", "Button", 256, 193, 65, 23, true);
  if (ok != nullptr) {
    Check(ok->text == "OK", "Button1 caption");
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(ok->window, WM_GETFONT, 0, 0)), sizeof font, &font);
    Check(font.lfHeight == -11, "font height " + std::to_string(font.lfHeight));
    Check(std::string(font.lfFaceName) == "Tahoma", std::string("font ") + font.lfFaceName);
  }
  const Child* label1 = Expect(children, "Label1", "Static", 8, 8, 0, 0, true);
  if (label1 != nullptr) {
    Check(label1->text == "Velk Mobile Plugin for Qualcomm and BREW based cell phones", "Label1");
  }
  const Child* label2 = Expect(children, "Label2", "Static", 8, 24, 0, 0, true);
  if (label2 != nullptr) Check(label2->text.find("0.1.0") != std::string::npos, "Label2 version");
  const Child* label3 = Expect(children, "Label3", "Static", 16, 72, 0, 0, true);
  if (label3 != nullptr) Check(label3->text.rfind("https://", 0) == 0, "Label3 address");
  const Child* group = Expect(children, "GroupBox1", "Button", 8, 120, 313, 57, true);
  if (group != nullptr) Check(group->text == "Velk port settings", "GroupBox1 caption");
  const Child* rts = Expect(children, "CheckBox2", "Button", 8 + 256, 120 + 24, 49, 17, false);
  if (rts != nullptr) {
    Check(rts->text == "RTS", "CheckBox2 caption");
    Check(SendMessageA(rts->window, BM_GETCHECK, 0, 0) == BST_CHECKED, "CheckBox2 ticked");
  }
  const Child* dtr = Expect(children, "CheckBox1", "Button", 8 + 200, 120 + 24, 49, 17, false);
  if (dtr != nullptr) Check(dtr->text == "DTR", "CheckBox1 caption");
  const Child* rates = Expect(children, "ComComboBox1", "ComboBox", 8 + 104, 120 + 20, 89, 21, true);
  const Child* ports = Expect(children, "combo", "ComboBox", 8 + 8, 120 + 20, 89, 21, true);

  if (rates != nullptr) {
    const std::vector<std::string> items = ListItems(rates->window);
    Check(items.size() == 17 && items[0] == "Custom" && items[16] == "512000", "baud-rate texts");
    Check(SendMessageA(rates->window, CB_GETCURSEL, 0, 0) == 3, "baud-rate selection: the stored index");
  }
  SaveScreenshot(outer, args->shotPath);

  if (ports != nullptr) {
    const std::vector<std::string> items = ListItems(ports->window);
    std::string shown;
    for (const std::string& item : items) shown += item + " ";
    std::printf("port list: %s\n", shown.c_str());
    for (const std::string& port : RegistryPorts()) {
      Check(IndexOf(items, port) >= 0, "registry port " + port + " missing from the list");
    }
    Check(!items.empty() && items.back() == "COM9", "configured COM9 appended");
    Check(SendMessageA(ports->window, CB_GETCURSEL, 0, 0) == static_cast<LRESULT>(items.size()) - 1,
          "COM9 selected");
    const int wanted = IndexOf(items, args->expectedPort);
    Check(wanted >= 0, "mapped port " + args->expectedPort + " missing from the list");
    if (wanted >= 0) {
      // As a user's choice: the selection, then the list's change notification.
      SendMessageA(ports->window, CB_SETCURSEL, wanted, 0);
      SendMessageA(dialog, WM_COMMAND,
                   MAKEWPARAM(GetDlgCtrlID(ports->window), CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(ports->window));
    }
  }
  if (ok != nullptr) {
    SendMessageA(ok->window, BM_CLICK, 0, 0);
  } else {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  }
  return 0;
}

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string IniValue(const std::string& file, const char* section, const char* key) {
  char buffer[256] = {};
  GetPrivateProfileStringA(section, key, "<missing>", buffer, sizeof buffer, file.c_str());
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s MODULE|- EXPECTED_PORT REPORT SHOT.bmp\n", argv[0]);
    return 2;
  }
  const std::string module = argv[1];
  WatchArgs args{argv[2], argv[4]};
  reportPath = argv[3];
  const std::string settings = ExecutableFolder() + "fsplugin.ini";
  DeleteFileA(settings.c_str());
  WritePrivateProfileStringA("Keep", "a", "1", settings.c_str());
  WritePrivateProfileStringA("VLK", "velkport", "COM9", settings.c_str());
  WritePrivateProfileStringA("VLK", "baud", "3", settings.c_str());

  HANDLE watcher = CreateThread(nullptr, 0, Watch, &args, 0, nullptr);
  if (module != "-") {
    // The module reads the settings file beside this program when it loads.
    HMODULE loaded = LoadLibraryA(module.c_str());
    using Execute = int(__stdcall*)(HWND, char*, char*);
    FARPROC found = loaded ? GetProcAddress(loaded, "FsExecuteFile") : nullptr;
    // Through void(*)(): the one cast between function types the compiler accepts quietly.
    auto execute = reinterpret_cast<Execute>(reinterpret_cast<void (*)()>(found));
    if (execute == nullptr) {
      failures.push_back("cannot load " + module + " or find FsExecuteFile");
      WriteReport();
      return 1;
    }
    char root[] = "\\";
    char verb[] = "open";
    Check(execute(nullptr, root, verb) == 0, "FsExecuteFile result");
  } else {
    std::string portName = "COM9";
    Check(RunOptionsDialog(portName, 3, settings) == 1, "dialog result");
    Check(portName == args.expectedPort, "PortName " + portName);
  }
  WaitForSingleObject(watcher, kFindWindowMs);
  CloseHandle(watcher);

  Check(IniValue(settings, "VLK", "velkport") == args.expectedPort, "stored port");
  // The rate list opened at the stored index, so OK keeps it.
  Check(IniValue(settings, "VLK", "baud") == "3", "stored baud " + IniValue(settings, "VLK", "baud"));
  Check(IniValue(settings, "Keep", "a") == "1", "other section kept");

  WriteReport();
  return failures.empty() ? 0 : 1;
}
