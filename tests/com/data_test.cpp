// BSTR, VARIANT and SAFEARRAY round trips, GUID text and automation dates.
#include <string>

#include "com_fixture.h"

namespace {

using ComDataTest = ComTest;

std::u16string text_of(BSTR b) { return std::u16string(b, SysStringLen(b)); }

TEST_F(ComDataTest, BstrKeepsItsLengthInUtf16Units) {
  BSTR wide = SysAllocString(L"Gr\u00fc\u00dfe \U0001F600");  // a 32-bit literal, a surrogate pair
  ASSERT_NE(nullptr, wide);
  EXPECT_EQ(u"Gr\u00fc\u00dfe \U0001F600", text_of(wide));
  EXPECT_EQ(8u, SysStringLen(wide));
  EXPECT_EQ(16u, SysStringByteLen(wide));
  EXPECT_EQ(0, wide[8]);

  const char16_t with_nul[] = u"ab\0cd";
  BSTR counted = SysAllocStringLen(with_nul, 5);
  EXPECT_EQ(5u, SysStringLen(counted));  // the length, not the first NUL, ends the text
  BSTR blank = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(std::u16string(3, u'\0'), text_of(blank));
  EXPECT_EQ(nullptr, SysAllocString(static_cast<const OLECHAR *>(nullptr)));
  EXPECT_EQ(0u, SysStringLen(nullptr));

  SysFreeString(wide);
  SysFreeString(counted);
  SysFreeString(blank);
  SysFreeString(nullptr);
}

TEST_F(ComDataTest, VariantCopiesOwnTheirValues) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocString(u"WbemHelper");
  ASSERT_EQ(S_OK, VariantCopy(&b, &a));
  EXPECT_NE(a.bstrVal, b.bstrVal);
  EXPECT_EQ(u"WbemHelper", text_of(b.bstrVal));
  EXPECT_EQ(S_OK, VariantClear(&a));
  EXPECT_EQ(VT_EMPTY, a.vt);
  EXPECT_EQ(u"WbemHelper", text_of(b.bstrVal));  // the copy outlives the original

  // Copying over a VARIANT frees what it held; an interface is shared by reference.
  auto *object = new FakeGreeter;
  a.vt = VT_UNKNOWN;
  a.punkVal = object->unknown();
  ASSERT_EQ(S_OK, VariantCopy(&b, &a));
  EXPECT_EQ(2u, object->ref_count());
  EXPECT_EQ(S_OK, VariantClear(&b));
  EXPECT_EQ(S_OK, VariantClear(&a));  // the last reference: the object goes

  a.vt = VT_VARIANT;  // only valid by reference
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&a));
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&b, &a));
  a.vt = VT_UINT;
  a.uintVal = 3;
  ASSERT_EQ(S_OK, VariantCopy(&b, &a));
  EXPECT_EQ(3u, b.uintVal);
}

TEST_F(ComDataTest, SafeArraysHoldAndFreeTheirElements) {
  SAFEARRAY *names = SafeArrayCreateVector(VT_BSTR, 1, 3);
  ASSERT_NE(nullptr, names);
  LONG lo = 0, hi = 0;
  EXPECT_EQ(S_OK, SafeArrayGetLBound(names, 1, &lo));
  EXPECT_EQ(S_OK, SafeArrayGetUBound(names, 1, &hi));
  EXPECT_EQ(1, lo);
  EXPECT_EQ(3, hi);
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetUBound(names, 2, &hi));

  LONG i = 2;
  BSTR name = SysAllocString(u"Service");
  EXPECT_EQ(S_OK, SafeArrayPutElement(names, &i, name));  // copied in
  SysFreeString(name);
  i = 4;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(names, &i, nullptr));

  // In a VARIANT, copied deeply; reading an element gives the caller its own copy.
  VARIANT v, w;
  VariantInit(&v);
  VariantInit(&w);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = names;
  ASSERT_EQ(S_OK, VariantCopy(&w, &v));
  ASSERT_NE(names, w.parray);
  EXPECT_EQ(S_OK, VariantClear(&v));
  BSTR out = nullptr;
  i = 2;
  ASSERT_EQ(S_OK, SafeArrayGetElement(w.parray, &i, &out));
  EXPECT_EQ(u"Service", text_of(out));
  SysFreeString(out);

  // A locked array cannot be destroyed.
  void *data = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAccessData(w.parray, &data));
  EXPECT_EQ(nullptr, static_cast<BSTR *>(data)[0]);
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantClear(&w));
  EXPECT_EQ(S_OK, SafeArrayUnaccessData(w.parray));
  EXPECT_EQ(S_OK, VariantClear(&w));

  SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};
  SAFEARRAY *grid = SafeArrayCreate(VT_I4, 2, bounds);
  LONG at[2] = {12, 1};  // right-most dimension first
  LONG value = 42, got = 0;
  EXPECT_EQ(S_OK, SafeArrayPutElement(grid, at, &value));
  EXPECT_EQ(S_OK, SafeArrayGetElement(grid, at, &got));
  EXPECT_EQ(42, got);
  EXPECT_EQ(S_OK, SafeArrayGetLBound(grid, 2, &lo));
  EXPECT_EQ(10, lo);
  EXPECT_EQ(S_OK, SafeArrayDestroy(grid));
  EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_RECORD, 0, 1));
}

TEST_F(ComDataTest, GuidTextRoundTrips) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(S_OK, StringFromCLSID(kClsidGreeter, &text));
  EXPECT_EQ(u"{1A2B3C4D-0001-4002-8003-AABBCCDDEEFF}", std::u16string(text));
  CoTaskMemFree(text);

  CLSID back;
  ASSERT_EQ(S_OK, CLSIDFromString(L"{1a2b3c4d-0001-4002-8003-aabbccddeeff}", &back));
  EXPECT_EQ(kClsidGreeter, back);
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(L"1a2b3c4d-0001-4002-8003-aabbccddeeff", &back));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(L"{1a2b3c4d-0001-4002-8003-aabbccddeefg}", &back));
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(L"{1a2b3c4d-0001-4002-8003-aabbccddeeff}x", &back));
  OLECHAR small[38];
  EXPECT_EQ(0, StringFromGUID2(kClsidGreeter, small, 38));
}

TEST_F(ComDataTest, AutomationDatesConvertBothWays) {
  SYSTEMTIME t{};
  ASSERT_TRUE(VariantTimeToSystemTime(36494.0, &t));
  EXPECT_EQ(1999, t.wYear);
  EXPECT_EQ(11, t.wMonth);
  EXPECT_EQ(30, t.wDay);
  EXPECT_EQ(2, t.wDayOfWeek);  // a Tuesday

  ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &t));  // before 1899-12-30 the fraction still counts forward
  EXPECT_EQ(1899, t.wYear);
  EXPECT_EQ(29, t.wDay);
  EXPECT_EQ(6, t.wHour);

  SYSTEMTIME when{2026, 12, 0, 7, 13, 45, 30, 0};
  DATE d = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&when, &d));
  EXPECT_NEAR(46363.57326, d, 1e-5);
  ASSERT_TRUE(VariantTimeToSystemTime(d, &t));
  EXPECT_EQ(30, t.wSecond);
  EXPECT_EQ(45, t.wMinute);
  EXPECT_FALSE(VariantTimeToSystemTime(3e6, &t));
}

}  // namespace
