// The update threads.
#pragma once

#include "platform/win32.h"

// Updates every ready device of the device table, one after the other. No argument; returns 0.
DWORD WINAPI orbu_update_control_thread(LPVOID parameter);

// Starts the control thread and keeps its handle for orbu_join_update_threads. When the thread
// cannot be created, logs it, marks the ready devices failed and returns false.
bool orbu_start_control_thread();

// Waits for every update thread that was started and closes its handle.
void orbu_join_update_threads();
