// Linux stand-in (to be filled).
#pragma once
#ifndef _WIN32
#include "platform/win_types.h"
#endif
