// Declarations that MinGW-w64's headers lack; used by both targets.
// Grows with the storage requests of the back ends.
#pragma once
