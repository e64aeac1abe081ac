#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Finding and driving the program's dialogs from outside their thread: the test thread of
// an in-process test, or the driver process of the end-to-end tests.
namespace quorvel::gui {

using namespace std::chrono_literals;

enum class DialogKind { Any, AboutBox, Confirm, Upgrade, MessageBox };

// Visible top-level dialogs ("#32770") of process `processId` captioned "Quorvel Zambrio".
std::vector<HWND> findDialogs(DWORD processId, DialogKind kind);
DialogKind kindOf(HWND dialog);

// Polls until a dialog of `kind` shows (the first one found), or returns nullptr.
HWND waitForDialog(DWORD processId, DialogKind kind,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Polls until `condition` holds; false on time-out.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Texts go through WM_GETTEXT, which also works across processes.
std::string windowText(HWND window);
std::string itemText(HWND dialog, int id);
// The message of a message box: its longest static text.
std::string messageBoxText(HWND box);
bool itemVisible(HWND dialog, int id);
LRESULT sendTo(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// Posted, so a click that opens a modal box never blocks the caller.
void clickItem(HWND dialog, int id);
void pressKey(HWND dialog, WPARAM virtualKey);

// Copies the window's screen area into a 24-bit BMP file.
bool saveWindowBitmap(HWND window, const std::string& path);

}  // namespace quorvel::gui
