// The update threads: the control thread (every ready device, one step each), the single-device
// thread of a "Start" button (one device, every step), the step transition between the steps of
// a multi-step update, and the busy accounting that keeps Exit and Close disabled while any
// device is being updated.
#pragma once

#include <cstdint>

#include "orbu/orbu_records.h"
#include "platform/win32.h"

// Posted to the main window by the update thread that ends the last busy device: the window
// then enables or disables Exit and Close from the current busy count.
constexpr UINT orbu_busy_changed_message = WM_APP + 1;

// Updates every ready device of the device table, one after the other. No argument; returns 0.
DWORD WINAPI orbu_update_control_thread(LPVOID parameter);
// Updates the device whose table index is the argument, step after step. Started for a claimed
// device only (orbu_claim_device); it releases the claim on every way out.
DWORD WINAPI orbu_single_update_thread(LPVOID parameter);
// Step transition of the single-device thread, with the device-table mutex held.
void orbu_next_update_step(orbu_device_update *record, uint32_t steps_done);

// Starts the control thread and keeps its handle for orbu_join_update_threads. The control
// thread counts as busy from here to its end. When it cannot be created, logs it, marks the ready
// devices failed and returns false.
bool orbu_start_control_thread();
// Starts the single-device thread of a claimed device and keeps its handle. When it cannot be
// created, logs it, marks the device failed, releases the claim and returns false. Main thread.
bool orbu_start_single_update_thread(uint32_t index);
// Waits for every update thread that was started and closes its handle. Main thread.
void orbu_join_update_threads();

// Claims the device at `index` for a single-device thread: only a ready device that is not busy
// can be claimed. `first` tells whether it is the first busy device (the caller then disables
// Exit and Close).
bool orbu_claim_device(uint32_t index, bool *first);
// Releases a claim; true when no device is busy any more.
bool orbu_release_device(orbu_device_update *record);
// Devices being updated (the control thread counts as one while it runs).
uint32_t orbu_busy_count();
