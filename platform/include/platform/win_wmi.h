// Linux stand-in: the WMI client subset (wbemcli.h on Windows): the locator, the namespace
// services, the result enumerator and the class object. Only the methods the system calls are
// declared, with the SDK's parameter lists; the interfaces are the stand-in's own.
#pragma once
#ifndef _WIN32

#include "platform/win_types.h"
#include "platform/win_com.h"

extern const CLSID CLSID_WbemLocator;            // {4590F811-1D3A-11D0-891F-00AA004B2E24}
extern const IID IID_IWbemLocator;               // {DC12A687-737F-11CF-884D-00AA004B2E24}
extern const IID IID_IWbemServices;              // {9556DC99-828C-11CF-A37E-00AA003240C7}
extern const IID IID_IEnumWbemClassObject;       // {027947E1-D731-11CE-A357-000000000001}
extern const IID IID_IWbemClassObject;           // {DC12A681-737F-11CF-884D-00AA004B2E24}

typedef LONG CIMTYPE;

// Query and connection flags, and status codes: enumerations as in the SDK (so the failure codes,
// above INT_MAX, have an unsigned type there too).
typedef enum tag_WBEM_GENERIC_FLAG_TYPE {
  WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
  WBEM_FLAG_FORWARD_ONLY = 0x20,
} WBEM_GENERIC_FLAG_TYPE;
typedef enum tag_WBEM_CONNECT_OPTIONS {
  WBEM_FLAG_CONNECT_USE_MAX_WAIT = 0x80,
} WBEM_CONNECT_OPTIONS;
typedef enum tag_WBEMSTATUS {
  WBEM_S_NO_ERROR = 0,
  WBEM_S_FALSE = 1,
  WBEM_S_TIMEDOUT = 0x40004,
  WBEM_E_FAILED = 0x80041001,
  WBEM_E_NOT_FOUND = 0x80041002,
  WBEM_E_INVALID_PARAMETER = 0x80041008,
  WBEM_E_INVALID_NAMESPACE = 0x8004100E,
  WBEM_E_INVALID_CLASS = 0x80041010,
  WBEM_E_INVALID_QUERY = 0x80041017,
  WBEM_E_INVALID_QUERY_TYPE = 0x80041018,
} WBEMSTATUS;

// A call context: only passed through (always null here).
struct IWbemContext : public IUnknown {};

// One result object.
struct IWbemClassObject : public IUnknown {
  // The value of a property (names ignore case); WBEM_E_NOT_FOUND for a name the class lacks.
  virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT *pVal, CIMTYPE *pType,
                                        LONG *plFlavor) = 0;
};

struct IEnumWbemClassObject : public IUnknown {
  // Up to uCount objects, waiting at most lTimeout ms: WBEM_S_NO_ERROR when all came,
  // WBEM_S_FALSE at the end, WBEM_S_TIMEDOUT when the wait ran out, or a failure.
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject **apObjects,
                                         ULONG *puReturned) = 0;
};

struct IWbemServices : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                              IWbemContext *pCtx, IEnumWbemClassObject **ppEnum) = 0;
};

struct IWbemLocator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                                  const BSTR strPassword, const BSTR strLocale,
                                                  LONG lSecurityFlags, const BSTR strAuthority,
                                                  IWbemContext *pCtx, IWbemServices **ppNamespace) = 0;
};

#endif  // _WIN32
