// The stand-in's code-page conversion: ANSI as one unit per byte with '?' for what it cannot
// hold, UTF-8 with surrogate pairs, and the size and buffer rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace {

std::u16string to_wide(UINT cp, const std::string &s) {
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string w(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(n, MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n));
  return w;
}
std::string to_narrow(UINT cp, const std::u16string &w, BOOL *used = nullptr) {
  int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  EXPECT_EQ(n, WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, used));
  return s;
}

TEST(CodePage, AnsiAndUtf8) {
  EXPECT_EQ(u"caf\u00e9", to_wide(CP_ACP, "caf\xe9"));
  BOOL used = FALSE;
  EXPECT_EQ("caf\xe9?", to_narrow(CP_THREAD_ACP, u"caf\u00e9\u20ac", &used));
  EXPECT_TRUE(used);
  const std::string utf8 = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // é € and a character beyond 16 bits
  EXPECT_EQ(u"\u00e9\u20ac\U0001F600", to_wide(CP_UTF8, utf8));
  EXPECT_EQ(utf8, to_narrow(CP_UTF8, u"\u00e9\u20ac\U0001F600"));
  EXPECT_EQ(u"\ufffdA", to_wide(CP_UTF8, "\xc3" "A"));  // a cut sequence
}

TEST(CodePage, SizesAndBuffers) {
  // -1 converts the NUL too.
  EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0));
  WCHAR small[2];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", -1, small, 2));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(12345, 0, "abc", -1, nullptr, 0));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, nullptr, 3, nullptr, 0, nullptr, nullptr));
}

}  // namespace
