// Windows entry: the runtime calls WinMain, which hands over to the program's window entry.
#include "orbu/orbu_main.h"
#include "platform/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR command_line, int show_command) {
  return orbu_main(instance, command_line, show_command);
}
