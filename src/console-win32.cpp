#include "console.h"

#include <conio.h>

#include <windows.h>

namespace {

// The console's own input, whatever standard input has been redirected to.
class ConsoleInput {
 public:
  ConsoleInput()
      : handle_(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr)) {}
  ~ConsoleInput() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  ConsoleInput(const ConsoleInput&) = delete;
  ConsoleInput& operator=(const ConsoleInput&) = delete;

  // A detached process, or one whose CONIN$ is no console, has no keyboard
  // to wait for.
  bool IsConsole() const {
    DWORD mode;
    return handle_ != INVALID_HANDLE_VALUE &&
           GetConsoleMode(handle_, &mode) != 0;
  }

  // Only a key pressed from now on ends the wait.
  bool DropTypedAhead() const { return FlushConsoleInputBuffer(handle_) != 0; }

 private:
  HANDLE handle_;
};

// _getch gives a function or arrow key as two codes, the first 0 or 0xE0.
bool IsKeyPrefix(int code) { return code == 0 || code == 0xE0; }

}  // namespace

void wait_for_key() {
  ConsoleInput console;
  if (!console.IsConsole() || !console.DropTypedAhead()) return;
  if (IsKeyPrefix(_getch())) _getch();
}
