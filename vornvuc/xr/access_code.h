// Access codes of the drives' vendor-unique mode, as the host sends them. The simulated drives
// check the values they were given on their own, so a wrong byte here is refused as a drive would.
#pragma once

#include <cstdint>

// Level 4: the 24-bit LBA of the enable and disable commands (80h).
#define VORNVUC_XR_VSC4_ACCESS_CODE 0x5A3C71u

// Level 5 (and SCSI): the enable key 70/1 carries these three words at key bytes 258, 260, 262.
#define VORNVUC_XR_VSC5_ACCESS_WORD0 0x4F52u
#define VORNVUC_XR_VSC5_ACCESS_WORD1 0x4255u
#define VORNVUC_XR_VSC5_ACCESS_WORD2 0x0005u
