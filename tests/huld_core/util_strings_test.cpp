// String helpers: swapping, trimming, replacing, field splitting and the compares.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "huld/huld_util.h"

namespace {

// Takes ownership of the heap string a helper left in `*s` (read after the call that returned
// `rc`); a failure (1) must leave no string.
std::string take(int rc, char **s) {
  if (rc != 0) return *s ? "<fail with string>" : "<fail>";
  std::string r = *s ? *s : "<null>";
  free(*s);
  return r;
}

TEST(HuldSwap, SwapsEachWordAndLeavesOddTail) {
  char b[5] = {0x42, 0x41, 0x44, 0x43, 0x45};
  EXPECT_EQ(huld_swap_bytes16(b, 4), b);
  EXPECT_EQ(0, memcmp(b, "ABCDE", 5));
  char odd[3] = {'B', 'A', 'C'};
  huld_swap_bytes16(odd, 3);
  EXPECT_EQ(0, memcmp(odd, "ABC", 3));
  EXPECT_EQ(huld_swap_bytes16(nullptr, 4), nullptr);
}

TEST(HuldTrim, LeadingBlanksAndTrailingWhiteSpaceAndRemoveChar) {
  const struct {
    const char *in, *out;
  } rows[] = {{"  AB \t\n", "AB"}, {"\tAB  ", "\tAB"}, {"  A B \r\v\f", "A B"}, {"    ", ""}};
  for (const auto &row : rows) {
    char s[16];
    strcpy(s, row.in);
    EXPECT_EQ(huld_str_trim(s), s);
    EXPECT_STREQ(s, row.out) << row.in;
  }
  EXPECT_EQ(huld_str_trim(nullptr), nullptr);
  // What the shift of leading blanks vacates is zeroed: the buffer equals one that never had them.
  char shifted[12] = "   S30017";
  const char plain[12] = "S30017";
  huld_str_trim(shifted);
  EXPECT_EQ(0, memcmp(shifted, plain, sizeof plain));
  char s[] = "a-b--c-";
  EXPECT_EQ(huld_str_remove_char(s, '-'), s);
  EXPECT_STREQ(s, "abc");
}

TEST(HuldReplace, ReplacesLeftToRightWithoutOverlap) {
  const struct {
    const char *src, *find, *with, *want;
  } rows[] = {{"aaa", "aa", "", "a"},         {"aaaa", "aa", "b", "bb"}, {"x.y.z", ".", "::", "x::y::z"},
              {"no match", "zz", "yy", "no match"}, {"", "a", "b", ""},        {"abc", "", "X", "abc"}};
  for (const auto &row : rows) {
    char *out = nullptr;
    EXPECT_EQ(take(huld_str_replace(&out, row.src, row.find, row.with), &out), row.want) << row.src;
  }
  // Many replacements that grow the text: the result must hold all of it.
  char *out = nullptr;
  std::string r = take(huld_str_replace(&out, std::string(1000, 'a').c_str(), "a", "bcd"), &out);
  EXPECT_EQ(r.size(), 3000u);
  EXPECT_EQ(r.substr(0, 6), "bcdbcd");
}

TEST(HuldFields, DelimiterAndTokenFields) {
  const char *line = "orbu.exe /s /D:C:\\fw dir\\image.bin";
  const struct {
    const char *src;
    int index;
    const char *token;  // null: the single-character field reader with ','
    int skip;           // -1: the token reader without a skip
    const char *want;
  } rows[] = {
      {"a,bb,,d", 0, nullptr, 0, "a"},
      {"a,bb,,d", 1, nullptr, 0, "bb"},
      {"a,bb,,d", 2, nullptr, 0, ""},  // between adjacent delimiters
      {"a,bb,,d", 3, nullptr, 0, "d"},
      {"a,bb,,d", 4, nullptr, 0, "<fail>"},
      {"01,", 1, nullptr, 0, ""},
      {"01,", 2, nullptr, 0, "<fail>"},
      {"nodelim", 0, nullptr, 0, "nodelim"},
      {line, 0, " /", 1, "orbu.exe"},
      {line, 1, " /", 1, "/s"},
      {line, 2, " /", 1, "/D:C:\\fw dir\\image.bin"},  // blanks inside a field stay
      {line, 3, " /", 1, "<fail>"},
      {"prog /a  /b", 1, " /", 1, "/a "},
      {" /a", 0, " /", 1, ""},
      {"a::b::c", 2, "::", -1, "c"},
      {"a::b::c", 1, "::", -1, "b"},
      {"a::b::c", 0, "::", -1, "a"},
      {"xaaay", 2, "aa", 0, "aay"},  // "aaa" holds "aa" at positions 0 and 1
      {"prog /", 1, " /", 10, ""},   // skip beyond the end
      {"prog /", 1, " /", 2, ""},
      {"abc", 1, "", 0, "<fail>"},
      {"abc", 0, "", -1, "<fail>"},
  };
  for (const auto &row : rows) {
    char *out = reinterpret_cast<char *>(1);
    int rc = !row.token       ? huld_str_get_field(&out, row.src, row.index, ',')
             : row.skip < 0 ? huld_str_get_token_field(&out, row.src, row.index, row.token)
                            : huld_str_get_token_field_at(&out, row.src, row.index, row.token, row.skip);
    EXPECT_EQ(take(rc, &out), row.want) << row.src << " " << row.index;
  }
}

TEST(HuldCompare, PlainAndWildcardOrders) {
  const struct {
    const char *a, *b;
    int plain;     // 2: not asked
    int wildcard;  // 2: not asked
  } rows[] = {
      {"abc", "abc", 0, 2},     {"abc", "abd", -1, 2},      {"abd", "abc", 1, 2},
      {"ab", "abc", -1, 2},     {"abc", "ab", 1, 2},        {"", "", 0, 2},
      {"\x80", "A", -1, -1},    {"A", "\xFF", 1, 2},  // bytes of 80h and above are negative
      {"ABC", "ABC*", 2, -1},   {"", "*", 2, -1},           {"ABC", "AB*", 2, 0},
      {"AB*", "ABC", 2, 0},     {"FW1.2", "FW?.2", 2, 0},   {"FW?.2", "FW1.2", 2, 0},
      {"FW1.2", "FW?.3", 2, -1}, {"B", "A", 2, 1},          {"A", "B", 2, -1},
      {"ABC", "AB", 2, 1},      {"*", "anything at all", 2, 0}, {"MODEL X", "MODEL X", 2, 0},
  };
  for (const auto &row : rows) {
    if (row.plain != 2) {
      EXPECT_EQ(huld_str_compare(row.a, row.b), row.plain) << row.a << " " << row.b;
    }
    if (row.wildcard != 2) {
      EXPECT_EQ(huld_str_wildcard_compare(row.a, row.b), row.wildcard) << row.a << " " << row.b;
    }
  }
}

}  // namespace
