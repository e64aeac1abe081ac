#include "tests/app/win32/gui_probe.h"

#include <cstdio>
#include <thread>

namespace quorvel::gui {
namespace {

constexpr const char* kDialogClass = "#32770";
constexpr const char* kCaption = "Quorvel Zambrio";
constexpr auto kPollInterval = 20ms;
constexpr UINT kSendTimeoutMs = 3000;
// A control that only one of the dialogs has tells them apart.
constexpr int kLogoId = 1030;
constexpr int kConfirmTextId = 1027;
constexpr int kStartId = 1004;

struct Search {
  DWORD processId;
  DialogKind kind;
  std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
  char className[32] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::string(className) != kDialogClass || windowText(window) != kCaption) return TRUE;
  if (search->kind == DialogKind::Any || kindOf(window) == search->kind) {
    search->found.push_back(window);
  }
  return TRUE;
}

struct Statics {
  std::string longest;
};

BOOL CALLBACK longestStatic(HWND child, LPARAM param) {
  char className[32] = {};
  GetClassNameA(child, className, sizeof className);
  if (_stricmp(className, "Static") == 0) {
    std::string text = windowText(child);
    auto* statics = reinterpret_cast<Statics*>(param);
    if (text.size() > statics->longest.size()) statics->longest = text;
  }
  return TRUE;
}

}  // namespace

DialogKind kindOf(HWND dialog) {
  if (GetDlgItem(dialog, kLogoId) != nullptr) return DialogKind::AboutBox;
  if (GetDlgItem(dialog, kConfirmTextId) != nullptr) return DialogKind::Confirm;
  if (GetDlgItem(dialog, kStartId) != nullptr) return DialogKind::Upgrade;
  return DialogKind::MessageBox;
}

std::vector<HWND> findDialogs(DWORD processId, DialogKind kind) {
  Search search{processId, kind, {}};
  EnumWindows(&collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND waitForDialog(DWORD processId, DialogKind kind, std::chrono::milliseconds timeout) {
  HWND found = nullptr;
  waitUntil(
      [&] {
        auto dialogs = findDialogs(processId, kind);
        if (!dialogs.empty()) found = dialogs.front();
        return found != nullptr;
      },
      timeout);
  return found;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  return static_cast<LRESULT>(result);
}

std::string windowText(HWND window) {
  char text[1024] = {};
  sendTo(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  text[sizeof text - 1] = '\0';
  return text;
}

std::string itemText(HWND dialog, int id) {
  return windowText(GetDlgItem(dialog, id));
}

std::string messageBoxText(HWND box) {
  Statics statics;
  EnumChildWindows(box, &longestStatic, reinterpret_cast<LPARAM>(&statics));
  return statics.longest;
}

bool itemVisible(HWND dialog, int id) {
  return IsWindowVisible(GetDlgItem(dialog, id)) != FALSE;
}

void clickItem(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void pressKey(HWND dialog, WPARAM virtualKey) {
  // The dialog manager (IsDialogMessage) of the modal loop turns these into commands.
  PostMessageA(dialog, WM_KEYDOWN, virtualKey, 1);
  PostMessageA(dialog, WM_KEYUP, virtualKey, 0xC0000001);
}

bool saveWindowBitmap(HWND window, const std::string& path) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  info.bmiHeader.biSizeImage = imageSize;

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, previous);
  }
  if (ok) {
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    header.bfSize = header.bfOffBits + imageSize;
    ok = false;
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
      ok = std::fwrite(&header, sizeof header, 1, file) == 1 &&
           std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
           std::fwrite(bits, 1, imageSize, file) == imageSize;
      ok = (std::fclose(file) == 0) && ok;
    }
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace quorvel::gui
