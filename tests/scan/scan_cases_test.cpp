#include "scan_fixture.h"
