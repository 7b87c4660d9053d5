// A silent "monb" run that updates 16 drives (8 NVMe on the in-box NVMe driver, 8 SATA on the
// in-box AHCI driver) whose commands take modelled machine time. Reports the tool's machine time
// against the sum of the device times it had to wait for (its overhead: the 100 ms and 500 ms
// polls of the step threads and workers), and the real CPU time per drive. Each run is a forked
// process: the program keeps run-wide state.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "orbu/orbu_main.h"
#include "sim/drives/ata_drive.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "tests/package/package_writer.h"

namespace {

constexpr int kDrives = 16;

std::string machine() {
  using nlohmann::json;
  json adapters = json::array({{{"id", "ahci"}, {"personality", "inbox_ahci"}}});
  json disks = json::array();
  const json nvme_timing = {{"command_ms", 2}, {"download_ms", 15}, {"activate_ms", 400}};
  const json ata_timing = {{"command_ms", 3}, {"download_ms", 25}, {"activate_ms", 700}};
  for (int i = 0; i < kDrives; ++i) {
    const std::string serial = "BENCH" + std::to_string(i);
    json disk = {{"id", "d" + std::to_string(i)}, {"physical_drive", i}};
    if (i % 2 == 0) {
      const std::string adapter = "nvme" + std::to_string(i);
      adapters.push_back({{"id", adapter}, {"personality", "inbox_nvme"}});
      disk["adapter"] = adapter;
      disk["nvme"] = {{"model", "CORVANE CVN-512"}, {"serial", serial}, {"firmware", "CN100001"},
                      {"activation", "commit"}, {"timing", nvme_timing}};
    } else {
      disk["adapter"] = "ahci";
      disk["address"] = {{"path_id", 0}, {"target_id", i}, {"lun", 0}};
      disk["ata"] = {{"model", "CORVANE CVS-256"}, {"serial", serial}, {"firmware", "CS100001"},
                     {"timing", ata_timing}};
    }
    disks.push_back(disk);
  }
  return json({{"name", "bench"}, {"storage", {{"adapters", adapters}, {"disks", disks}}}}).dump();
}

struct Outcome {
  double machine_ms = 0;    // machine time of the whole run
  double device_ms = 0;     // modelled command time of every drive, summed
  double cpu_seconds = 0;   // CPU time of the run's process
  int exit_code = -1;
  int updated = 0;
};

// Runs the packaged tool once in a child process and reads back what it measured.
Outcome run_once(const std::string &package_path, const std::string &machine_json,
               const std::string &command_line) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    sim::load_machine_json(machine_json);
    sim::app_knobs().module_path = package_path;
    const uint64_t start = sim::virtual_now_ms();
    int code = 0;
    {
      sim::SimulatedThread entry;
      code = orbu_main(nullptr, command_line.c_str(), SW_SHOWDEFAULT);
    }
    Outcome o;
    o.exit_code = code;
    o.machine_ms = static_cast<double>(sim::virtual_now_ms() - start);
    for (int i = 0; i < kDrives; ++i) {
      const auto nvme = sim::storage_nvme(static_cast<uint32_t>(i));
      const auto ata = sim::storage_ata(static_cast<uint32_t>(i));
      const sim::DriveCounters c = nvme ? nvme->counters() : ata->counters();
      o.device_ms += static_cast<double>(c.busy_ms);
      o.updated += static_cast<int>(c.activations);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    o.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (write(fds[1], &o, sizeof(o)) != static_cast<ssize_t>(sizeof(o))) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  Outcome o;
  if (read(fds[0], &o, sizeof(o)) != static_cast<ssize_t>(sizeof(o))) o.exit_code = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return o;
}

void BM_SilentUpdateOf16Drives(benchmark::State &state) {
  pkgtest::temp_dir dir;
  const std::string package = dir.file("orbu-packaged");
  const pkgtest::bytes records = pkgtest::concat(
      {pkgtest::monb_record("CORVANE CVN-512", "CN100001", "CN100002", "nvme.img"),
       pkgtest::monb_record("CORVANE CVS-256", "CS100001", "CS100002", "ata.img")});
  pkgtest::write_file(
      package,
      pkgtest::package_bytes(
          pkgtest::pattern(100, 1),
          {{"fwconfig", pkgtest::fwconfig(1, 2, records)},
           {"nvme.img", sim::make_test_image(sim::ImageTarget::Nvme, "CN100002", 256 * 1024)},
           {"ata.img", sim::make_test_image(sim::ImageTarget::Ata, "CS100002", 256 * 1024)}}));
  const std::string description = machine();
  Outcome last;
  const std::string line = "/s /log=" + dir.file("update.log");
  for (auto _ : state) last = run_once(package, description, line);
  if (last.exit_code != 0 || last.updated != kDrives) {
    state.SkipWithError("the run did not update every drive");
    return;
  }
  state.counters["machine_ms"] = last.machine_ms;
  state.counters["device_ms"] = last.device_ms;
  state.counters["machine_per_device_time"] = last.machine_ms / last.device_ms;
  state.counters["cpu_ms_per_drive"] = last.cpu_seconds * 1000.0 / kDrives;
}
BENCHMARK(BM_SilentUpdateOf16Drives)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
