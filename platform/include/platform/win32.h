// The one header through which every system source reaches the Windows API.
//
// Windows build: the SDK headers, plus the few declarations that MinGW-w64 lacks (win_extra.h).
// Linux build: our own declarations of the subset the system calls, implemented by the
// simulated machine in platform/src and platform/sim.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <process.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <usbioctl.h>
#include <taskschd.h>
// DirectShow device enumeration and kernel streaming (the video device pass); without the
// string-safety header DirectShow would pull in, which retires the C string functions.
#ifndef NO_DSHOW_STRSAFE
#define NO_DSHOW_STRSAFE
#endif
#include <dshow.h>
#include <ks.h>
#include <ksproxy.h>
#include <ksmedia.h>
// Property keys are defined here rather than only declared: no import library carries them.
#include <initguid.h>
#include <devpkey.h>
#include <devguid.h>
#include <pciprop.h>
#else
#include "platform/win_types.h"
#include "platform/win_kernel.h"
#include "platform/win_user.h"
#include "platform/win_process.h"
#include "platform/win_registry.h"
#include "platform/win_storage.h"
#include "platform/win_com.h"
#include "platform/win_dshow.h"
#include "platform/win_taskschd.h"
#include "platform/win_text.h"
#include "platform/win_wmi.h"
#endif
#include "platform/win_devices.h"

// Declarations both targets take from us (absent from, or incomplete in, MinGW-w64's headers).
#include "platform/win_extra.h"
