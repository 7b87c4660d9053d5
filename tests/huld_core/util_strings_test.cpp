// String helpers: swapping, trimming, replacing, field splitting and the compares.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "huld/huld_util.h"

namespace {

// Takes ownership of a heap string produced by a helper.
std::string take(char *s) {
  std::string r = s ? s : "<null>";
  free(s);
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

TEST(HuldTrim, LeadingBlanksAndTrailingWhiteSpace) {
  char s[] = "  AB \t\n";
  EXPECT_EQ(huld_str_trim(s), s);
  EXPECT_STREQ(s, "AB");

  char tab[] = "\tAB  ";
  huld_str_trim(tab);
  EXPECT_STREQ(tab, "\tAB");  // a leading tab stays

  char inner[] = "  A B \r\v\f";
  huld_str_trim(inner);
  EXPECT_STREQ(inner, "A B");

  char blanks[] = "    ";
  huld_str_trim(blanks);
  EXPECT_STREQ(blanks, "");

  EXPECT_EQ(huld_str_trim(nullptr), nullptr);
}

TEST(HuldRemoveChar, RemovesEveryOccurrence) {
  char s[] = "a-b--c-";
  EXPECT_EQ(huld_str_remove_char(s, '-'), s);
  EXPECT_STREQ(s, "abc");
}

TEST(HuldReplace, ReplacesLeftToRightWithoutOverlap) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_replace(&out, "aaa", "aa", ""), 0);
  EXPECT_EQ(take(out), "a");

  ASSERT_EQ(huld_str_replace(&out, "aaaa", "aa", "b"), 0);
  EXPECT_EQ(take(out), "bb");

  ASSERT_EQ(huld_str_replace(&out, "x.y.z", ".", "::"), 0);
  EXPECT_EQ(take(out), "x::y::z");

  ASSERT_EQ(huld_str_replace(&out, "no match", "zz", "yy"), 0);
  EXPECT_EQ(take(out), "no match");

  ASSERT_EQ(huld_str_replace(&out, "", "a", "b"), 0);
  EXPECT_EQ(take(out), "");
}

TEST(HuldReplace, GrowsAndShrinksByExactLengthDifference) {
  // Many replacements that grow the text: the result must hold all of it.
  std::string src(1000, 'a');
  char *out = nullptr;
  ASSERT_EQ(huld_str_replace(&out, src.c_str(), "a", "bcd"), 0);
  std::string r = take(out);
  EXPECT_EQ(r.size(), 3000u);
  EXPECT_EQ(r.substr(0, 6), "bcdbcd");
}

TEST(HuldReplace, EmptyFindGivesCopy) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_replace(&out, "abc", "", "X"), 0);
  EXPECT_EQ(take(out), "abc");
}

TEST(HuldGetField, SplitsAtDelimiter) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_field(&out, "a,bb,,d", 0, ','), 0);
  EXPECT_EQ(take(out), "a");
  ASSERT_EQ(huld_str_get_field(&out, "a,bb,,d", 1, ','), 0);
  EXPECT_EQ(take(out), "bb");
  ASSERT_EQ(huld_str_get_field(&out, "a,bb,,d", 2, ','), 0);
  EXPECT_EQ(take(out), "");  // between adjacent delimiters
  ASSERT_EQ(huld_str_get_field(&out, "a,bb,,d", 3, ','), 0);
  EXPECT_EQ(take(out), "d");
  out = reinterpret_cast<char *>(1);
  EXPECT_EQ(huld_str_get_field(&out, "a,bb,,d", 4, ','), 1);
  EXPECT_EQ(out, nullptr);
}

TEST(HuldGetField, TrailingDelimiterGivesEmptyLastField) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_field(&out, "01,", 1, ','), 0);
  EXPECT_EQ(take(out), "");
  EXPECT_EQ(huld_str_get_field(&out, "01,", 2, ','), 1);
  ASSERT_EQ(huld_str_get_field(&out, "nodelim", 0, ','), 0);
  EXPECT_EQ(take(out), "nodelim");
}

TEST(HuldTokenField, WalksACommandLine) {
  const char *line = "orbu.exe /s /D:C:\\fw dir\\image.bin";
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_token_field_at(&out, line, 0, " /", 1), 0);
  EXPECT_EQ(take(out), "orbu.exe");
  ASSERT_EQ(huld_str_get_token_field_at(&out, line, 1, " /", 1), 0);
  EXPECT_EQ(take(out), "/s");
  ASSERT_EQ(huld_str_get_token_field_at(&out, line, 2, " /", 1), 0);
  EXPECT_EQ(take(out), "/D:C:\\fw dir\\image.bin");  // blanks inside a field stay
  out = reinterpret_cast<char *>(1);
  EXPECT_EQ(huld_str_get_token_field_at(&out, line, 3, " /", 1), 1);
  EXPECT_EQ(out, nullptr);
}

TEST(HuldTokenField, TrailingBlanksStayAndEmptyFirstField) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_token_field_at(&out, "prog /a  /b", 1, " /", 1), 0);
  EXPECT_EQ(take(out), "/a ");
  ASSERT_EQ(huld_str_get_token_field_at(&out, " /a", 0, " /", 1), 0);
  EXPECT_EQ(take(out), "");
}

TEST(HuldTokenField, SkipEqualToTokenLength) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_token_field(&out, "a::b::c", 2, "::"), 0);
  EXPECT_EQ(take(out), "c");
  ASSERT_EQ(huld_str_get_token_field(&out, "a::b::c", 1, "::"), 0);
  EXPECT_EQ(take(out), "b");
  ASSERT_EQ(huld_str_get_token_field(&out, "a::b::c", 0, "::"), 0);
  EXPECT_EQ(take(out), "a");
}

TEST(HuldTokenField, OccurrencesAreSearchedAtEveryPosition) {
  // "aaa" holds "aa" at positions 0 and 1.
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_token_field_at(&out, "xaaay", 2, "aa", 0), 0);
  EXPECT_EQ(take(out), "aay");
}

TEST(HuldTokenField, SkipBeyondEndGivesEmptyAndEmptyTokenFails) {
  char *out = nullptr;
  ASSERT_EQ(huld_str_get_token_field_at(&out, "prog /", 1, " /", 10), 0);
  EXPECT_EQ(take(out), "");
  ASSERT_EQ(huld_str_get_token_field_at(&out, "prog /", 1, " /", 2), 0);
  EXPECT_EQ(take(out), "");
  out = reinterpret_cast<char *>(1);
  EXPECT_EQ(huld_str_get_token_field_at(&out, "abc", 1, "", 0), 1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(huld_str_get_token_field(&out, "abc", 0, ""), 1);
}

TEST(HuldCompare, OrdersBySignedBytesThenLength) {
  EXPECT_EQ(huld_str_compare("abc", "abc"), 0);
  EXPECT_EQ(huld_str_compare("abc", "abd"), -1);
  EXPECT_EQ(huld_str_compare("abd", "abc"), 1);
  EXPECT_EQ(huld_str_compare("ab", "abc"), -1);
  EXPECT_EQ(huld_str_compare("abc", "ab"), 1);
  EXPECT_EQ(huld_str_compare("", ""), 0);
  // Bytes of 80h and above are negative as signed characters.
  EXPECT_EQ(huld_str_compare("\x80", "A"), -1);
  EXPECT_EQ(huld_str_compare("A", "\xFF"), 1);
}

TEST(HuldWildcardCompare, DesignedOracleCases) {
  EXPECT_EQ(huld_str_wildcard_compare("ABC", "ABC*"), -1);
  EXPECT_EQ(huld_str_wildcard_compare("", "*"), -1);
  EXPECT_EQ(huld_str_wildcard_compare("ABC", "AB*"), 0);
  EXPECT_EQ(huld_str_wildcard_compare("AB*", "ABC"), 0);  // symmetric
}

TEST(HuldWildcardCompare, QuestionMarkAndOrdering) {
  EXPECT_EQ(huld_str_wildcard_compare("FW1.2", "FW?.2"), 0);
  EXPECT_EQ(huld_str_wildcard_compare("FW?.2", "FW1.2"), 0);
  EXPECT_EQ(huld_str_wildcard_compare("FW1.2", "FW?.3"), -1);
  EXPECT_EQ(huld_str_wildcard_compare("B", "A"), 1);
  EXPECT_EQ(huld_str_wildcard_compare("A", "B"), -1);
  EXPECT_EQ(huld_str_wildcard_compare("ABC", "AB"), 1);
  EXPECT_EQ(huld_str_wildcard_compare("*", "anything at all"), 0);
  EXPECT_EQ(huld_str_wildcard_compare("MODEL X", "MODEL X"), 0);
  EXPECT_EQ(huld_str_wildcard_compare("\x80", "A"), -1);
}

}  // namespace
