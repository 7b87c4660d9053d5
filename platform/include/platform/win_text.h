// Linux stand-in: code-page conversion between narrow and UTF-16 text (stringapiset.h on Windows).
// The machine's ANSI code page (CP_ACP, CP_THREAD_ACP) is ISO 8859-1: each byte is the code unit
// of the same value, and a code unit above FFh becomes the default character '?'. CP_UTF8 is
// UTF-8 (an invalid sequence or an unpaired surrogate becomes U+FFFD). dwFlags must be 0.
#pragma once
#ifndef _WIN32

#include <cstdio>

#include "platform/win_types.h"

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

// cbMultiByte / cchWideChar -1: the text runs to its NUL, which is converted too. An output size
// of 0 asks for the size needed. Returns the units written (or needed); 0 on failure with the
// last error: ERROR_INSUFFICIENT_BUFFER (output too small), ERROR_INVALID_PARAMETER (no input, an
// unknown code page, flags, a default character with CP_UTF8). WideCharToMultiByte writes
// lpDefaultChar's first byte, or '?', for what the ANSI code page cannot hold, and says so in
// *lpUsedDefaultChar.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

// The C runtime's wide open: the UTF-16 path and mode opened as the host's UTF-8 path. Null when
// the path or mode is null, or when the file cannot be opened. The mode may be a wide literal.
FILE *_wfopen(const WCHAR *filename, const WCHAR *mode);
FILE *_wfopen(const WCHAR *filename, const wchar_t *mode);

#endif  // _WIN32
