// The application's device scan (every class, with probing) and the elimination of extra device
// nodes on generated machines of 16, 64 and 128 devices: half native SATA disks, a quarter NVMe
// disks and a quarter SATA drives behind USB bridges (ATA and SCSI class, so that the SCSI-of-ATA
// pass compares every ATA target with every bridge). Reports the device requests the scan and the
// elimination issue, separately, per run and per device, and the CPU time per device.
//
// A second machine holds NVMe drives only, each reached through two namespaces (two disks of its
// adapter), at 16, 64 and 128 disks: there the five passes over nodes of different kinds only read
// each disk's serial once (a target without candidates), and the last pass removes the second
// namespace of every drive, reading each node's serial and model once, so the elimination's
// requests per device stay the same whatever the count.
#include <benchmark/benchmark.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "sim/machine.h"
#include "sim/trace.h"
#include "vornscan/scan.h"

namespace {

std::string machine(int devices) {
  nlohmann::json adapters = nlohmann::json::array(), disks = nlohmann::json::array();
  adapters.push_back({{"id", "ahci"}, {"personality", "inbox_ahci"}});
  for (int i = 0; i < devices; ++i) {
    const std::string serial = "BENCH" + std::to_string(i);
    nlohmann::json disk = {{"physical_drive", i}};
    if (i % 4 < 2) {
      disk["adapter"] = "ahci";
      disk["address"] = {{"path_id", 0}, {"target_id", i}, {"lun", 0}};
      disk["ata"] = {{"model", "SIM SATA"}, {"serial", serial}, {"firmware", "F1"}};
    } else {
      const bool nvme = i % 4 == 2;
      const std::string adapter = (nvme ? "nvme" : "bot") + std::to_string(i);
      adapters.push_back({{"id", adapter}, {"personality", nvme ? "inbox_nvme" : "usb_bot"}});
      disk["adapter"] = adapter;
      if (nvme) {
        disk["nvme"] = {{"model", "SIM NVME"}, {"serial", serial}, {"firmware", "F1"}};
      } else {
        disk["bridge"] = "sat";
        disk["ata"] = {{"model", "SIM USB SATA"}, {"serial", serial}, {"firmware", "F1"}};
      }
    }
    disks.push_back(disk);
  }
  return nlohmann::json({{"name", "bench"}, {"storage", {{"adapters", adapters}, {"disks", disks}}}})
      .dump();
}

// NVMe drives, each on an in-box NVMe adapter of its own, at LUN 0 and LUN 1 of one target.
std::string two_namespace_machine(int disks) {
  nlohmann::json adapters = nlohmann::json::array(), units = nlohmann::json::array(),
                 drives = nlohmann::json::array();
  for (int i = 0; i < disks; ++i) {
    const std::string drive = "BENCH" + std::to_string(i / 2), adapter = "nvme" + std::to_string(i / 2);
    if (i % 2 == 0) {
      adapters.push_back({{"id", adapter}, {"personality", "inbox_nvme"}});
      drives.push_back({{"id", drive}, {"nvme", {{"model", "SIM NVME"}, {"serial", drive}, {"firmware", "F1"}}}});
    }
    units.push_back({{"adapter", adapter}, {"drive", drive}, {"physical_drive", i},
                     {"address", {{"path_id", 0}, {"target_id", 0}, {"lun", i % 2}}}});
  }
  return nlohmann::json({{"name", "bench"},
                         {"storage", {{"drives", drives}, {"adapters", adapters}, {"disks", units}}}})
      .dump();
}

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void scan_and_eliminate(benchmark::State &state, const std::string &description) {
  huld_log_level = 0;
  const int devices = static_cast<int>(state.range(0));
  sim::load_machine_json(description);
  huld_environment_initialize();
  auto *list = new vornscan_list();
  uint64_t scan_requests = 0, elimination_requests = 0, kept = 0;
  double cpu = 0;
  for (auto _ : state) {
    sim::trace_clear();
    const double start = thread_cpu_seconds();
    vornscan_scan(list, 1);
    const size_t after_scan = sim::trace_entries().size();
    vornscan_eliminate_extra_device_nodes(list);
    cpu += thread_cpu_seconds() - start;
    scan_requests += after_scan;
    elimination_requests += sim::trace_entries().size() - after_scan;
    state.PauseTiming();
    kept = list->count;
    for (uint32_t i = 0; i < list->count; ++i) huld_dev_cleanup(&list->devices[i]);
    sim::trace_clear();
    state.ResumeTiming();
  }
  delete list;
  sim::reset_machine();
  const double runs = static_cast<double>(state.iterations());
  state.counters["kept"] = static_cast<double>(kept);
  state.counters["scan_requests"] = static_cast<double>(scan_requests) / runs;
  state.counters["elimination_requests"] = static_cast<double>(elimination_requests) / runs;
  state.counters["scan_requests_per_device"] = static_cast<double>(scan_requests) / runs / devices;
  state.counters["elimination_requests_per_device"] =
      static_cast<double>(elimination_requests) / runs / devices;
  state.counters["cpu_us_per_device"] = cpu / runs / devices * 1e6;
}

void BM_ScanAndEliminate(benchmark::State &state) {
  scan_and_eliminate(state, machine(static_cast<int>(state.range(0))));
}

void BM_ScanAndEliminateTwoNamespaces(benchmark::State &state) {
  scan_and_eliminate(state, two_namespace_machine(static_cast<int>(state.range(0))));
}

}  // namespace

BENCHMARK(BM_ScanAndEliminate)->Arg(16)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndEliminateTwoNamespaces)->Arg(16)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
