// Linux stand-in: the COM and OLE automation subset (objbase.h and oleauto.h on Windows):
// HRESULT values, IUnknown and IDispatch, apartments, object creation, proxy security, task
// memory, BSTR, VARIANT, SAFEARRAY and the automation date.
//
// Wide text: WCHAR (and so OLECHAR and BSTR) is 16 bits here as on Windows, while wide literals
// (L"...") are 32-bit wchar_t on Linux. The calls that take text accept both; the wchar_t form
// is a template so that NULL still selects the WCHAR form.
#pragma once
#ifndef _WIN32

#include <type_traits>

#include "platform/win_types.h"
#include "platform/win_kernel.h"

// ---- HRESULT values ---------------------------------------------------------------------------

#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#define RPC_E_DISCONNECTED ((HRESULT)0x80010108L)
#define RPC_E_WRONG_THREAD ((HRESULT)0x8001010EL)
#define RPC_E_TOO_LATE ((HRESULT)0x80010119L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)

#define FACILITY_WIN32 7
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
// A Win32 error code as an HRESULT (80070000h | code; 0 and HRESULTs pass unchanged).
inline HRESULT HRESULT_FROM_WIN32(unsigned long x) {
  return (HRESULT)(x) <= 0 ? (HRESULT)(x)
                           : (HRESULT)(((x) & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

// ---- Interfaces -------------------------------------------------------------------------------

#define STDMETHODCALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0

typedef WCHAR OLECHAR;
typedef OLECHAR *LPOLESTR;
typedef const OLECHAR *LPCOLESTR;
typedef GUID *LPGUID;
typedef CLSID *LPCLSID;
typedef IID *LPIID;
typedef DWORD LCID;
typedef LONG DISPID;
typedef LONG SCODE;

// The GUID of no class.
inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
#define CLSID_NULL GUID_NULL
#define IID_NULL GUID_NULL

extern const IID IID_IUnknown;   // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IDispatch;  // {00020400-0000-0000-C000-000000000046}

// Every COM interface starts with these three methods. Objects delete themselves on the last
// Release; nobody deletes an interface pointer.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown *LPUNKNOWN;

// Type information and late-bound calls are not simulated: their structures stay opaque.
struct ITypeInfo;
typedef struct tagDISPPARAMS DISPPARAMS;
typedef struct tagEXCEPINFO EXCEPINFO;
struct tagVARIANT;

// The base of automation ("dual") interfaces such as the task scheduler's.
struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames,
                                                  LCID lcid, DISPID *rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                           DISPPARAMS *pDispParams, struct tagVARIANT *pVarResult,
                                           EXCEPINFO *pExcepInfo, UINT *puArgErr) = 0;
};
typedef IDispatch *LPDISPATCH;

// ---- Apartments and object creation -------------------------------------------------------------

typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Joins the calling thread to the multithreaded apartment (COINIT_MULTITHREADED) or to a
// single-threaded one (COINIT_APARTMENTTHREADED): S_OK the first time, S_FALSE when the thread
// is already in that kind of apartment (each success needs its CoUninitialize),
// RPC_E_CHANGED_MODE when it is in the other kind.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize(void);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID *ppv);

// ---- Security -----------------------------------------------------------------------------------

#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFL
#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHZ_DEFAULT 0xFFFFFFFFL
#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_NONE 1
#define RPC_C_AUTHN_LEVEL_CONNECT 2
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT 4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6
#define RPC_C_IMP_LEVEL_DEFAULT 0
#define RPC_C_IMP_LEVEL_ANONYMOUS 1
#define RPC_C_IMP_LEVEL_IDENTIFY 2
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define RPC_C_IMP_LEVEL_DELEGATE 4

typedef enum tagEOLE_AUTHENTICATION_CAPABILITIES {
  EOAC_NONE = 0x0,
  EOAC_MUTUAL_AUTH = 0x1,
  EOAC_STATIC_CLOAKING = 0x20,
  EOAC_DYNAMIC_CLOAKING = 0x40,
} EOLE_AUTHENTICATION_CAPABILITIES;

typedef void *PSECURITY_DESCRIPTOR;
typedef void *RPC_AUTH_IDENTITY_HANDLE;
typedef struct tagSOLE_AUTHENTICATION_SERVICE SOLE_AUTHENTICATION_SERVICE;

// Process-wide security: the first call succeeds, later ones give RPC_E_TOO_LATE.
HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                             SOLE_AUTHENTICATION_SERVICE *asAuthSvc, void *pReserved1,
                             DWORD dwAuthnLevel, DWORD dwImpLevel, void *pAuthList,
                             DWORD dwCapabilities, void *pReserved3);
HRESULT CoSetProxyBlanket(IUnknown *pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                          OLECHAR *pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                          RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities);

// ---- Task memory and GUID text ---------------------------------------------------------------------

LPVOID CoTaskMemAlloc(SIZE_T cb);
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case) in task memory (CoTaskMemFree).
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz);
// The same text into a buffer of cchMax characters; returns the characters written with the
// NUL (39), or 0 when the buffer is too small.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Reads the braced text form (either case); CO_E_CLASSSTRING for anything else. NULL gives
// GUID_NULL.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

// ---- BSTR -------------------------------------------------------------------------------------------
//
// A BSTR points at the text; the 32-bit length in bytes sits just before it and a NUL after it.

typedef OLECHAR *BSTR;
typedef BSTR *LPBSTR;

BSTR SysAllocString(const OLECHAR *psz);
BSTR SysAllocStringLen(const OLECHAR *strIn, UINT ui);
// Frees a BSTR (NULL is allowed); freeing one that is not live is recorded as a bad release.
void SysFreeString(BSTR bstrString);
// Characters / bytes of the text (NUL not counted); 0 for NULL.
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

namespace orbu_com_detail {
BSTR alloc_wide(const wchar_t *s, size_t n, bool has_n);
HRESULT clsid_from_wide(const wchar_t *s, LPCLSID out);
}  // namespace orbu_com_detail

template <class T, std::enable_if_t<std::is_same_v<T, wchar_t>, int> = 0>
BSTR SysAllocString(const T *psz) {
  return orbu_com_detail::alloc_wide(psz, 0, false);
}
template <class T, std::enable_if_t<std::is_same_v<T, wchar_t>, int> = 0>
BSTR SysAllocStringLen(const T *strIn, UINT ui) {
  return orbu_com_detail::alloc_wide(strIn, ui, true);
}
template <class T, std::enable_if_t<std::is_same_v<T, wchar_t>, int> = 0>
HRESULT CLSIDFromString(const T *lpsz, LPCLSID pclsid) {
  return orbu_com_detail::clsid_from_wide(lpsz, pclsid);
}

// ---- VARIANT -------------------------------------------------------------------------------------

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef double DATE;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

typedef union tagCY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
} CY;

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0xFFF,
};

struct tagSAFEARRAY;
struct IRecordInfo;

// 24 bytes on x64: the type, three reserved words, then the value.
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    short iVal;
    FLOAT fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown *punkVal;
    IDispatch *pdispVal;
    struct tagSAFEARRAY *parray;
    BYTE *pbVal;
    short *piVal;
    LONG *plVal;
    BSTR *pbstrVal;
    struct tagVARIANT *pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    struct {
      PVOID pvRecord;
      IRecordInfo *pRecInfo;
    };
  };
} VARIANT, VARIANTARG, *LPVARIANT, *LPVARIANTARG;

#define V_VT(X) ((X)->vt)
#define V_I4(X) ((X)->lVal)
#define V_UI4(X) ((X)->ulVal)
#define V_UINT(X) ((X)->uintVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_R8(X) ((X)->dblVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_ARRAY(X) ((X)->parray)

// VT_EMPTY, value untouched.
void VariantInit(VARIANTARG *pvarg);
// Frees what the VARIANT owns (BSTR, interface reference, SAFEARRAY) and makes it VT_EMPTY;
// DISP_E_BADVARTYPE for a type that cannot be held.
HRESULT VariantClear(VARIANTARG *pvarg);
// Clears the destination, then copies: BSTRs and arrays are duplicated, interfaces AddRef'd.
HRESULT VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc);

// ---- SAFEARRAY --------------------------------------------------------------------------------------

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

// rgsabound holds cDims bounds, the right-most dimension first.
typedef struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800

// Element types: the integer and floating types, VT_BOOL, VT_CY, VT_DATE, VT_ERROR, VT_BSTR,
// VT_UNKNOWN, VT_DISPATCH and VT_VARIANT. Elements start zeroed (empty).
SAFEARRAY *SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND *rgsabound);
SAFEARRAY *SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Frees the elements (BSTRs, references, VARIANTs) and the array; DISP_E_ARRAYISLOCKED while
// locked; destroying an array that is not live is recorded as a bad release.
HRESULT SafeArrayDestroy(SAFEARRAY *psa);
HRESULT SafeArrayCopy(SAFEARRAY *psa, SAFEARRAY **ppsaOut);
UINT SafeArrayGetDim(SAFEARRAY *psa);
UINT SafeArrayGetElemsize(SAFEARRAY *psa);
HRESULT SafeArrayGetVartype(SAFEARRAY *psa, VARTYPE *pvt);
// nDim counts from 1, the left-most dimension first.
HRESULT SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound);
HRESULT SafeArrayLock(SAFEARRAY *psa);
HRESULT SafeArrayUnlock(SAFEARRAY *psa);
HRESULT SafeArrayAccessData(SAFEARRAY *psa, void **ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY *psa);
// rgIndices holds one index per dimension, the right-most dimension first. Get copies out
// (a BSTR or VARIANT copy, an AddRef'd interface); Put copies in, freeing the old element.
HRESULT SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);
HRESULT SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv);

// ---- Automation dates -----------------------------------------------------------------------------

#ifndef ORBU_SYSTEMTIME_DECLARED
#define ORBU_SYSTEMTIME_DECLARED
typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
#endif

// DATE: days since 30 December 1899, the fraction the time of day (of the absolute value, for
// dates before then). Both return TRUE, or FALSE outside the years 100 to 9999. The time is
// rounded to the second; milliseconds are 0.
INT VariantTimeToSystemTime(DATE vtime, LPSYSTEMTIME lpSystemTime);
INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DATE *pvtime);

#endif  // _WIN32
