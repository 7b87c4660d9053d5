// The LED lighting driver's COM interfaces, as this library calls them: a HAL server (ILedHal)
// hands out its LED devices (ILedDevice). Declared by us; the same declarations serve the
// Windows build, the simulated machine and the test server DLL.
#pragma once

#include "platform/win32.h"

// {F2C8D5B4-3854-4325-8A4F-FD7C5072E3B9}
inline const IID IID_ILedHal = {0xF2C8D5B4, 0x3854, 0x4325, {0x8A, 0x4F, 0xFD, 0x7C, 0x50, 0x72, 0xE3, 0xB9}};
// The HAL server of the jarn kind, {10B0F14F-B9CB-41FC-9DAA-FCDE6EBA0A50}.
inline const CLSID CLSID_JarnLedHal = {0x10B0F14F, 0xB9CB, 0x41FC, {0x9D, 0xAA, 0xFC, 0xDE, 0x6E, 0xBA, 0x0A, 0x50}};
// The HAL server of the quillan kind, {D37DAC4A-CEDC-453D-8659-6AD9451C9AA8}.
inline const CLSID CLSID_QuillanLedHal = {0xD37DAC4A, 0xCEDC, 0x453D, {0x86, 0x59, 0x6A, 0xD9, 0x45, 0x1C, 0x9A, 0xA8}};
#define LED_HAL_JARN_CLSID_TEXT "{10B0F14F-B9CB-41FC-9DAA-FCDE6EBA0A50}"
#define LED_HAL_QUILLAN_CLSID_TEXT "{D37DAC4A-CEDC-453D-8659-6AD9451C9AA8}"
// A HAL server counts as installed when this key, followed by its CLSID text, opens under
// HKEY_CLASSES_ROOT.
#define LED_HAL_KEY_PREFIX \
  "CLSID\\{109DC3E4-B9FF-4AF3-9008-AB13705D4E5F}\\Instance\\{E9BBD754-6CF4-492E-BA89-782177A2771B}\\Instance\\"

// One LED device. Colour words: colour byte 1 in bits 0-7, 2 in bits 8-15, 3 in bits 16-23.
struct ILedDevice : public IUnknown {
  // The capability description (XML text); the caller frees it.
  virtual HRESULT STDMETHODCALLTYPE GetCapability(BSTR *xml) = 0;
  // Effect with one colour word per LED (none: colours NULL, count 0).
  virtual HRESULT STDMETHODCALLTYPE SetEffect(BYTE effect, DWORD *colours, DWORD count) = 0;
  // Not called by the library.
  virtual HRESULT STDMETHODCALLTYPE Reserved() = 0;
  // Effect with two further values.
  virtual HRESULT STDMETHODCALLTYPE SetEffectEx(BYTE effect, DWORD *colours, DWORD count, DWORD value_a,
                                                DWORD value_b) = 0;
  // 0 resets the device's effect, 1 saves it.
  virtual HRESULT STDMETHODCALLTYPE SetConfig(DWORD config) = 0;
};

// A HAL server.
struct ILedHal : public IUnknown {
  // With devices NULL: stores the number of devices in *count. With an array of *count slots:
  // fills it with devices, each carrying a reference the caller owns, and leaves in *count the
  // number of entries to walk.
  virtual HRESULT STDMETHODCALLTYPE EnumerateDevices(ILedDevice **devices, DWORD *count) = 0;
};
