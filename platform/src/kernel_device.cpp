// CreateFileA and DeviceIoControl over the machine's device namespace.
#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  return sim::internal::device_open(lpFileName, dwDesiredAccess, dwShareMode,
                                    dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  DWORD returned = 0;
  BOOL ok = sim::internal::device_ioctl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                        lpOutBuffer, nOutBufferSize, lpBytesReturned,
                                        lpOverlapped != nullptr, &returned);
  if (lpOverlapped != nullptr) {
    // Completed synchronously: the status and the byte count go into the OVERLAPPED.
    lpOverlapped->Internal = ok ? 0 : GetLastError();
    lpOverlapped->InternalHigh = returned;
  }
  return ok;
}
