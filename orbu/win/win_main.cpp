// Windows entry: the runtime calls WinMain, which hands over to the program's window entry.
#include <cstdlib>

#include "orbu/orbu_main.h"
#include "orbu/orbu_summary.h"
#include "platform/win32.h"

namespace {

// The command line after the program name, found as the runtime finds WinMain's command line:
// the name runs to the first blank or control character outside double quotes, and the blanks
// after it are skipped.
const wchar_t *skip_program_name(const wchar_t *line) {
  bool quoted = false;
  while (*line > L' ' || (*line != L'\0' && quoted)) {
    if (*line == L'"') quoted = !quoted;
    ++line;
  }
  while (*line != L'\0' && *line <= L' ') ++line;
  return line;
}

// The command line in the ANSI code page, converted from the UTF-16 one with no best-fit mapping.
// The ANSI line that WinMain receives maps a character the code page cannot hold to a look-alike
// ("Łódź" becomes "Lodz"), so a path in it could name another, existing file; here such a
// character becomes "?", which no file name holds. A UTF-8 code page holds every character and
// takes neither the flag nor a default character. A heap string; null without memory.
char *ansi_command_line() {
  const wchar_t *line = skip_program_name(GetCommandLineW());
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char *unmappable = utf8 ? nullptr : "?";
  const int size = WideCharToMultiByte(CP_ACP, flags, line, -1, nullptr, 0, unmappable, nullptr);
  if (size <= 0) return nullptr;
  char *text = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
  if (text == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_ACP, flags, line, -1, text, size, unmappable, nullptr) != size) {
    std::free(text);
    return nullptr;
  }
  return text;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*ansi_command_line*/,
                   int show_command) {
  char *command_line = ansi_command_line();
  if (command_line == nullptr) return static_cast<int>(orbu_exit_codes.failure);
  const int code = orbu_main(instance, command_line, show_command);
  std::free(command_line);
  return code;
}
