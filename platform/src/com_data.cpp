// COM data: task memory, GUID text, BSTR, VARIANT, SAFEARRAY and automation dates.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>

#include "platform/src/com_internal.h"
#include "sim/com.h"

namespace {

// ---- BSTR blocks: [4 bytes unused][UINT byte length][text][NUL], text 8-byte aligned ---------------

constexpr size_t kBstrHeader = 8;

BSTR bstr_alloc(const OLECHAR *text, UINT chars, const char *function) {
  HRESULT hr;
  if (sim::internal::com_fault(function, "", &hr)) return nullptr;
  const size_t bytes = static_cast<size_t>(chars) * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFF0u) return nullptr;
  auto *block = static_cast<uint8_t *>(std::calloc(1, kBstrHeader + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const UINT len = static_cast<UINT>(bytes);
  std::memcpy(block + 4, &len, sizeof len);
  BSTR s = reinterpret_cast<BSTR>(block + kBstrHeader);
  if (text) std::memcpy(s, text, bytes);
  sim::internal::com_add_bstr(s);
  return s;
}

// ---- SAFEARRAY: the descriptor and its data are ours; the element type is kept beside it -----------

std::mutex g_array_types_lock;
std::map<const SAFEARRAY *, VARTYPE> &array_types() {
  static auto *m = new std::map<const SAFEARRAY *, VARTYPE>;
  return *m;
}

ULONG element_size(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void *);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT features_for(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_HAVEVARTYPE | FADF_VARIANT;
    default:
      return FADF_HAVEVARTYPE;
  }
}

size_t element_count(const SAFEARRAY *psa) {
  size_t n = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) n *= psa->rgsabound[d].cElements;
  return n;
}

VARTYPE array_vartype(const SAFEARRAY *psa) {
  std::lock_guard<std::mutex> g(g_array_types_lock);
  auto it = array_types().find(psa);
  return it == array_types().end() ? static_cast<VARTYPE>(VT_EMPTY) : it->second;
}

// Releases what one element owns and zeroes it.
void clear_element(VARTYPE vt, void *element) {
  switch (vt) {
    case VT_BSTR: {
      BSTR *b = static_cast<BSTR *>(element);
      SysFreeString(*b);
      *b = nullptr;
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown **u = static_cast<IUnknown **>(element);
      if (*u) (*u)->Release();
      *u = nullptr;
      break;
    }
    case VT_VARIANT:
      VariantClear(static_cast<VARIANT *>(element));
      break;
    default:
      break;
  }
}

// Copies one element into zeroed storage: `from` is the element's storage.
HRESULT copy_element(VARTYPE vt, const void *from, void *to) {
  switch (vt) {
    case VT_BSTR: {
      BSTR src = *static_cast<const BSTR *>(from);
      BSTR copy = nullptr;
      if (src && !(copy = SysAllocStringLen(src, SysStringLen(src)))) return E_OUTOFMEMORY;
      *static_cast<BSTR *>(to) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown *u = *static_cast<IUnknown *const *>(from);
      if (u) u->AddRef();
      *static_cast<IUnknown **>(to) = u;
      return S_OK;
    }
    case VT_VARIANT:
      VariantInit(static_cast<VARIANT *>(to));
      return VariantCopy(static_cast<VARIANT *>(to), static_cast<const VARIANT *>(from));
    default:
      std::memcpy(to, from, element_size(vt));
      return S_OK;
  }
}

// The address of the element at rgIndices (right-most dimension first), or null when out of range.
void *element_at(SAFEARRAY *psa, const LONG *rgIndices) {
  size_t offset = 0, stride = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND &b = psa->rgsabound[d];
    const int64_t i = static_cast<int64_t>(rgIndices[d]) - b.lLbound;
    if (i < 0 || i >= static_cast<int64_t>(b.cElements)) return nullptr;
    offset += static_cast<size_t>(i) * stride;
    stride *= b.cElements;
  }
  return static_cast<uint8_t *>(psa->pvData) + offset * psa->cbElements;
}

bool variant_type_ok(VARTYPE vt) {
  if (vt & VT_BYREF) return true;
  if (vt & VT_ARRAY) return (vt & ~VT_ARRAY) == VT_VARIANT || element_size(vt & ~VT_ARRAY) != 0;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return true;
    case VT_VARIANT:
      return false;
    default:
      return element_size(vt) != 0;
  }
}

// ---- Automation dates ----------------------------------------------------------------------------

// Days from 1 January 1970 to a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

constexpr int64_t kDateEpochDays = -25569;  // 30 December 1899, in days from 1970

}  // namespace

// ---- Task memory and GUID text ---------------------------------------------------------------------

LPVOID CoTaskMemAlloc(SIZE_T cb) {
  void *p = std::malloc(cb ? cb : 1);
  if (p) sim::internal::com_add_task_memory(p);
  return p;
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (!pv) return CoTaskMemAlloc(cb);
  if (!sim::internal::com_remove_task_memory(pv, "CoTaskMemRealloc")) return nullptr;
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  void *p = std::realloc(pv, cb);
  if (!p) {
    sim::internal::com_add_task_memory(pv);  // a failed realloc keeps the old block
    return nullptr;
  }
  sim::internal::com_add_task_memory(p);
  return p;
}

void CoTaskMemFree(LPVOID pv) {
  if (pv && sim::internal::com_remove_task_memory(pv, "CoTaskMemFree")) std::free(pv);
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  const std::string text = sim::guid_text(rguid);
  if (!lpsz || cchMax < static_cast<int>(text.size()) + 1) return 0;
  for (size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
  lpsz[text.size()] = 0;
  return static_cast<int>(text.size()) + 1;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz) {
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
  if (!*lplpsz) return E_OUTOFMEMORY;
  StringFromGUID2(rclsid, *lplpsz, 39);
  return S_OK;
}

namespace {
template <class C>
HRESULT guid_from_chars(const C *s, GUID *out) {
  if (!out) return E_INVALIDARG;
  if (!s) {
    *out = GUID_NULL;
    return S_OK;
  }
  std::string text;
  for (; *s && text.size() <= 38; ++s) {
    if (static_cast<uint32_t>(*s) > 0x7F) return CO_E_CLASSSTRING;
    text += static_cast<char>(*s);
  }
  return sim::guid_from_text(text, out) ? S_OK : CO_E_CLASSSTRING;
}
}  // namespace

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) { return guid_from_chars(lpsz, pclsid); }
HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) { return guid_from_chars(lpsz, lpiid); }

// ---- BSTR -------------------------------------------------------------------------------------------

BSTR SysAllocString(const OLECHAR *psz) {
  if (!psz) return nullptr;
  UINT n = 0;
  while (psz[n]) ++n;
  return bstr_alloc(psz, n, "SysAllocString");
}

BSTR SysAllocStringLen(const OLECHAR *strIn, UINT ui) { return bstr_alloc(strIn, ui, "SysAllocStringLen"); }

void SysFreeString(BSTR bstrString) {
  if (bstrString && sim::internal::com_remove_bstr(bstrString, "SysFreeString"))
    std::free(reinterpret_cast<uint8_t *>(bstrString) - kBstrHeader);
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  UINT len;
  std::memcpy(&len, reinterpret_cast<uint8_t *>(bstr) - 4, sizeof len);
  return len;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

namespace orbu_com_detail {

// wchar_t text (UTF-32 on Linux) as UTF-16 code units.
BSTR alloc_wide(const wchar_t *s, size_t n, bool has_n) {
  const char *function = has_n ? "SysAllocStringLen" : "SysAllocString";
  if (!s && !has_n) return nullptr;
  if (!s) return bstr_alloc(nullptr, static_cast<UINT>(n), function);
  if (!has_n) n = std::wcslen(s);
  std::u16string units;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = static_cast<uint32_t>(s[i]);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      units += static_cast<char16_t>(0xD800 + (cp >> 10));
      units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
    }
  }
  return bstr_alloc(units.data(), static_cast<UINT>(units.size()), function);
}

HRESULT clsid_from_wide(const wchar_t *s, LPCLSID out) { return guid_from_chars(s, out); }

}  // namespace orbu_com_detail

// ---- VARIANT -------------------------------------------------------------------------------------

void VariantInit(VARIANTARG *pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG *pvarg) {
  if (!pvarg) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!variant_type_ok(vt)) return DISP_E_BADVARTYPE;
  if (vt & VT_BYREF) {
  } else if (vt & VT_ARRAY) {
    if (pvarg->parray) {
      HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    }
  } else {
    clear_element(vt, &pvarg->llVal);
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!variant_type_ok(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  const VARTYPE vt = pvargSrc->vt;
  if (vt & VT_BYREF) {
  } else if (vt & VT_ARRAY) {
    copy.parray = nullptr;
    if (pvargSrc->parray) hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
  } else if (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    hr = copy_element(vt, &pvargSrc->llVal, &copy.llVal);
  }
  if (FAILED(hr)) return hr;  // the destination stays VT_EMPTY
  *pvargDest = copy;
  return S_OK;
}

// ---- SAFEARRAY --------------------------------------------------------------------------------------

SAFEARRAY *SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound) {
  const ULONG size = element_size(vt);
  if (size == 0 || cDims == 0 || cDims > 0xFFFF || !rgsabound) return nullptr;
  HRESULT hr;
  if (sim::internal::com_fault("SafeArrayCreate", "", &hr)) return nullptr;
  size_t count = 1;
  for (UINT d = 0; d < cDims; ++d) {
    const ULONG n = rgsabound[d].cElements;
    if (n != 0 && count > std::numeric_limits<size_t>::max() / size / n) return nullptr;
    count *= n;
  }
  auto *psa = static_cast<SAFEARRAY *>(
      std::calloc(1, offsetof(SAFEARRAY, rgsabound) + cDims * sizeof(SAFEARRAYBOUND)));
  if (!psa) return nullptr;
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = features_for(vt);
  psa->cbElements = size;
  for (UINT d = 0; d < cDims; ++d) psa->rgsabound[d] = rgsabound[cDims - 1 - d];  // right-most first
  psa->pvData = std::calloc(count ? count : 1, size);
  if (!psa->pvData) {
    std::free(psa);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> g(g_array_types_lock);
    array_types()[psa] = vt;
  }
  sim::internal::com_add_array(psa);
  return psa;
}

SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY *psa) {
  if (!psa) return S_OK;
  if (!sim::internal::com_array_live(psa)) {
    sim::internal::com_remove_array(psa, "SafeArrayDestroy");  // records the bad release
    return E_INVALIDARG;
  }
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  const VARTYPE vt = array_vartype(psa);
  const size_t count = element_count(psa);
  for (size_t i = 0; i < count; ++i) clear_element(vt, static_cast<uint8_t *>(psa->pvData) + i * psa->cbElements);
  sim::internal::com_remove_array(psa, "SafeArrayDestroy");
  {
    std::lock_guard<std::mutex> g(g_array_types_lock);
    array_types().erase(psa);
  }
  std::free(psa->pvData);
  std::free(psa);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  if (!sim::internal::com_array_live(psa)) return E_INVALIDARG;
  const VARTYPE vt = array_vartype(psa);
  std::vector<SAFEARRAYBOUND> bounds(psa->cDims);
  for (USHORT d = 0; d < psa->cDims; ++d) bounds[d] = psa->rgsabound[psa->cDims - 1 - d];
  SAFEARRAY *out = SafeArrayCreate(vt, psa->cDims, bounds.data());
  if (!out) return E_OUTOFMEMORY;
  const size_t count = element_count(psa);
  for (size_t i = 0; i < count; ++i) {
    HRESULT hr = copy_element(vt, static_cast<uint8_t *>(psa->pvData) + i * psa->cbElements,
                              static_cast<uint8_t *>(out->pvData) + i * out->cbElements);
    if (FAILED(hr)) {
      SafeArrayDestroy(out);
      return hr;
    }
  }
  *ppsaOut = out;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY *psa) { return psa && sim::internal::com_array_live(psa) ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY *psa) {
  return psa && sim::internal::com_array_live(psa) ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt) {
  if (!psa || !pvt || !sim::internal::com_array_live(psa)) return E_INVALIDARG;
  *pvt = array_vartype(psa);
  return S_OK;
}

namespace {
const SAFEARRAYBOUND *bound_of(SAFEARRAY *psa, UINT nDim) {
  if (!psa || !sim::internal::com_array_live(psa) || nDim < 1 || nDim > psa->cDims) return nullptr;
  return &psa->rgsabound[psa->cDims - nDim];
}
}  // namespace

HRESULT SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound) {
  if (!plLbound) return E_INVALIDARG;
  const SAFEARRAYBOUND *b = bound_of(psa, nDim);
  if (!b) return psa && sim::internal::com_array_live(psa) ? DISP_E_BADINDEX : E_INVALIDARG;
  *plLbound = b->lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound) {
  if (!plUbound) return E_INVALIDARG;
  const SAFEARRAYBOUND *b = bound_of(psa, nDim);
  if (!b) return psa && sim::internal::com_array_live(psa) ? DISP_E_BADINDEX : E_INVALIDARG;
  *plUbound = static_cast<LONG>(static_cast<int64_t>(b->lLbound) + b->cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY *psa) {
  if (!psa || !sim::internal::com_array_live(psa)) return E_INVALIDARG;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY *psa) {
  if (!psa || !sim::internal::com_array_live(psa)) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY *psa, void **ppvData) {
  if (!ppvData) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY *psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
  if (!psa || !rgIndices || !pv || !sim::internal::com_array_live(psa)) return E_INVALIDARG;
  void *element = element_at(psa, rgIndices);
  if (!element) return DISP_E_BADINDEX;
  return copy_element(array_vartype(psa), element, pv);
}

HRESULT SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
  if (!psa || !rgIndices || !sim::internal::com_array_live(psa)) return E_INVALIDARG;
  void *element = element_at(psa, rgIndices);
  if (!element) return DISP_E_BADINDEX;
  const VARTYPE vt = array_vartype(psa);
  // BSTRs and interfaces are passed as themselves, everything else by address.
  BSTR as_bstr = static_cast<BSTR>(pv);
  IUnknown *as_unknown = static_cast<IUnknown *>(pv);
  const void *from = pv;
  if (vt == VT_BSTR)
    from = &as_bstr;
  else if (vt == VT_UNKNOWN || vt == VT_DISPATCH)
    from = &as_unknown;
  else if (!pv)
    return E_INVALIDARG;
  uint8_t fresh[sizeof(VARIANT)] = {};
  HRESULT hr = copy_element(vt, from, fresh);
  if (FAILED(hr)) return hr;
  clear_element(vt, element);
  std::memcpy(element, fresh, psa->cbElements);
  return S_OK;
}

// ---- Automation dates ----------------------------------------------------------------------------

INT VariantTimeToSystemTime(DATE vtime, LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime || !(vtime >= -657434.0 && vtime < 2958466.0)) return FALSE;
  // The whole days count toward or away from the epoch; the fraction is the time of day either way.
  double whole;
  const double fraction = std::fabs(std::modf(vtime, &whole));
  int64_t days = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(fraction * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++days;  // rounded up to the next midnight
  }
  int64_t y;
  unsigned m, d;
  const int64_t unix_days = days + kDateEpochDays;
  civil_from_days(unix_days, &y, &m, &d);
  if (y < 100 || y > 9999) return FALSE;
  lpSystemTime->wYear = static_cast<WORD>(y);
  lpSystemTime->wMonth = static_cast<WORD>(m);
  lpSystemTime->wDay = static_cast<WORD>(d);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(((unix_days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
  lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
  lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
  lpSystemTime->wMilliseconds = 0;
  return TRUE;
}

INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DATE *pvtime) {
  if (!lpSystemTime || !pvtime) return FALSE;
  const SYSTEMTIME &t = *lpSystemTime;
  if (t.wYear < 100 || t.wYear > 9999 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 || t.wDay > 31 ||
      t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59)
    return FALSE;
  const int64_t days = days_from_civil(t.wYear, t.wMonth, t.wDay) - kDateEpochDays;
  const double fraction = (t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond) / 86400.0;
  *pvtime = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
  return TRUE;
}
