// Linux stand-in: conversion of UTF-16 text to narrow text (stringapiset.h on Windows).
#pragma once
#ifndef _WIN32

#include "platform/win_types.h"

#define CP_ACP 0
#define CP_UTF8 65001

// Converts cchWideChar UTF-16 units (-1: up to and with the NUL) into lpMultiByteStr, which holds
// cbMultiByte bytes; with cbMultiByte 0 only the size needed is returned. CP_UTF8 writes UTF-8
// (an unpaired surrogate becomes U+FFFD); CP_ACP stands for a code page whose first 256
// characters are Latin-1 and writes lpDefaultChar's first byte, or '?', for anything beyond,
// setting *lpUsedDefaultChar. Returns the bytes written (or needed), or 0 with the last error
// ERROR_INVALID_PARAMETER (no text, another code page, a default character with CP_UTF8) or
// ERROR_INSUFFICIENT_BUFFER. dwFlags must be 0.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);

#endif  // _WIN32
