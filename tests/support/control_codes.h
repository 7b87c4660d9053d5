// Control codes the tests send and look for on the wire, written out here once. The tests keep
// their own values, taken neither from the product nor from the simulated machine, so a wrong
// code on either side shows as a failing test instead of agreeing with itself.
#pragma once

#include "platform/win32.h"

namespace testsupport {

// SCSI pass-through with the data buffer behind the request (buffered, not direct).
constexpr DWORD kScsiPassThrough = 0x0004D004;

}  // namespace testsupport
