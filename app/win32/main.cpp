#include <windows.h>

#include "app/win32/win32_front_end.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return quorvel::win32::runDialogProgram();
}
