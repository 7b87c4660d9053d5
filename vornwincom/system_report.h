// The system report: the machine around the drives (graphics adapters, processors, storage
// controller drivers, baseboards, memory modules, operating system), each part read from one WMI
// class. Each list holds at most its capacity; a part with more rows keeps the first ones and
// fails with its truncation message. Every function takes the caller's error record first and
// returns 0 (cleared) or 1 (set). COM must be usable on the calling thread.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

typedef struct vornwincom_system_report {
  struct {
    char caption[32][512];
    uint32_t count;
  } gpus;
  struct {
    struct {
      char caption[512];
      char name[512];
    } entry[32];
    uint32_t count;
  } cpus;
  struct {
    struct {
      char description[512];
      char driver_version[512];
    } entry[128];
    uint32_t count;
  } controllers;
  struct {
    struct {
      char manufacturer[512];
      char product[512];
    } entry[1];
    uint32_t count;
  } baseboards;
  struct {
    uint32_t configured_clock_speed[64];  // the WMI value in its unit
    uint32_t count;
  } rams;
  struct {
    uint64_t hours_since_boot;
    uint8_t wow64;                        // 1 when the process runs under WOW64
    uint32_t version_major, version_minor, version_build;
    uint8_t service_pack_major, service_pack_minor;
    char name[512];
    char build_type[512];
  } os;
} vornwincom_system_report;

// Zeroes the report and runs the six fillers; code 1 with the failed fillers' bits (GPUs 1, CPUs 2,
// controllers 4, baseboards 8, RAMs 16, OS 32) as subcode.
int vornwincom_get_system_report(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_gpus(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_cpus(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_controllers(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_baseboards(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_rams(huld_error *err, vornwincom_system_report *report);
int vornwincom_fill_system_report_os_info(huld_error *err, vornwincom_system_report *report);
