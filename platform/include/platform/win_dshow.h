// Linux stand-in: the DirectShow device enumeration and kernel-streaming subset (dshow.h,
// ks.h, ksproxy.h, vidcap.h on Windows) that the video device pass calls: the system device
// enumerator, monikers and bind contexts, property bags, base filters, topology and control.
// Only the methods the system calls are declared; the interfaces are the stand-in's own.
#pragma once
#ifndef _WIN32

#include "platform/win_types.h"
#include "platform/win_com.h"

extern const CLSID CLSID_SystemDeviceEnum;          // {62BE5D10-60EB-11D0-BD3B-00A0C911CE86}
extern const CLSID CLSID_VideoInputDeviceCategory;  // {860BB310-5D01-11D0-BD3B-00A0C911CE86}
extern const IID IID_ICreateDevEnum;                // {29840822-5B84-11D0-BD3B-00A0C911CE86}
extern const IID IID_IEnumMoniker;                  // {00000102-0000-0000-C000-000000000046}
extern const IID IID_IMoniker;                      // {0000000F-0000-0000-C000-000000000046}
extern const IID IID_IBindCtx;                      // {0000000E-0000-0000-C000-000000000046}
extern const IID IID_IPropertyBag;                  // {55272A00-42CB-11CE-8135-00AA004BB851}
extern const IID IID_IBaseFilter;                   // {56A86895-0AD4-11CE-B03A-0020AF0BA770}
extern const IID IID_IKsTopologyInfo;               // {720D4AC0-7533-11D0-A5D6-28DB04C10000}
extern const IID IID_IKsControl;                    // {28F54685-06FD-11D2-B27A-00A0C9223196}

struct IErrorLog;  // not simulated

// A bind context: only passed through.
struct IBindCtx : public IUnknown {};

struct IMoniker : public IUnknown {
  // The object the moniker names (the base filter of a device).
  virtual HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx *pbc, IMoniker *pmkToLeft, REFIID riidResult,
                                                 void **ppvResult) = 0;
  // Its storage (the property bag of a device).
  virtual HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx *pbc, IMoniker *pmkToLeft, REFIID riid, void **ppvObj) = 0;
};

struct IEnumMoniker : public IUnknown {
  // S_OK when `celt` monikers were returned, S_FALSE when fewer.
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker **rgelt, ULONG *pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker **ppenum) = 0;
};

struct ICreateDevEnum : public IUnknown {
  // S_FALSE (and a null enumerator) when the category is empty.
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker **ppEnumMoniker,
                                                          DWORD dwFlags) = 0;
};

struct IPropertyBag : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT *pVar, IErrorLog *pErrorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT *pVar) = 0;
};

// A filter: only asked for its other interfaces here.
struct IBaseFilter : public IUnknown {};

struct IKsTopologyInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD *pdwNumNodes) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD dwNodeIndex, GUID *pNodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD dwNodeId, REFIID iid, void **ppvObject) = 0;
};

typedef struct {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSPROPERTY, *PKSPROPERTY;

// A property addressed to one node of a filter's topology.
typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

struct IKsControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY Property, ULONG PropertyLength, LPVOID PropertyData,
                                               ULONG DataLength, ULONG *BytesReturned) = 0;
};

extern const GUID KSNODETYPE_DEV_SPECIFIC;  // {941C7AC0-C559-11D0-8A2B-00A0C9255AC1}

HRESULT CreateBindCtx(DWORD reserved, IBindCtx **ppbc);
// Resolves "@device:pnp:" + a device path to that device's moniker; MK_E_SYNTAX otherwise.
HRESULT MkParseDisplayName(IBindCtx *pbc, LPCOLESTR szUserName, ULONG *pchEaten, IMoniker **ppmk);
#define MK_E_SYNTAX ((HRESULT)0x800401E4L)

#endif  // _WIN32
