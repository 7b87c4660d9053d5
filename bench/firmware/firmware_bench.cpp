// Downloads a 16 MiB image to a simulated NVMe drive through each route of the back ends and
// reports, per MiB of image, the request bytes handed to the driver (every one of them written
// by the host: one copy of the image plus the request headers) and the requests issued.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"
#include "huld/huld_scsi.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"

namespace {

constexpr uint32_t kImageSize = 16u * 1024 * 1024;
constexpr uint32_t kMiB = 1024 * 1024;

enum class Route {
  FirmwareRequestWindows10,   // Firmware Image Download as the "FIRMWARE" request
  WriteBufferWindows81,       // WRITE BUFFER turned into "FIRMWARE" requests
  WriteBufferPassThrough,     // WRITE BUFFER through SCSI pass-through (Windows 10, SCSI class)
};

void load(Route route) {
  const bool win81 = route == Route::WriteBufferWindows81;
  std::string json = std::string(R"({ "name": "bench", "os": )") +
                     (win81 ? R"({ "major": 6, "minor": 3, "build": 9600 })"
                            : R"({ "major": 10, "minor": 0, "build": 19045 })") +
                     R"(, "storage": { "adapters": [ { "id": "nvme0", "personality": "inbox_nvme", "port": 0 } ],
                       "disks": [ { "id": "disk0", "adapter": "nvme0", "physical_drive": 0,
                       "nvme": { "model": "CORVANE NV100", "serial": "NV0001", "firmware": "OLDFW001" } } ] } })";
  sim::load_machine_json(json);
  huld_environment_initialize();
}

bool open_disk(huld_dev *dev, uint32_t iface) {
  std::memset(dev, 0, sizeof(*dev));
  std::snprintf(dev->name, sizeof(dev->name), "disk0");
  dev->iface = iface;
  dev->conn.type = CONN_DISK;
  dev->conn.driver = WINDOWS_INBOX_NVME;
  dev->conn.handle = INVALID_HANDLE_VALUE;
  std::snprintf(dev->conn.path, sizeof(dev->conn.path), "\\\\.\\PhysicalDrive0");
  dev->scsi_address.PortNumber = 0xFF;
  dev->rst_port_handle = INVALID_HANDLE_VALUE;
  dev->rste_disk_number = 0xFFFFFFFFu;
  dev->uvc_node_id = 0xFFFFFFFFu;
  huld_error err{};
  return huld_dev_open(&err, dev) == 0;
}

// One piece through the route. 0 on success.
int send_piece(huld_dev *dev, Route route, uint8_t *piece, uint32_t offset, uint32_t len) {
  huld_error err{};
  if (route == Route::FirmwareRequestWindows10) {
    huld_nvme_cmd cmd{};
    cmd.cdw0 = 0x11;
    cmd.cdw10 = len / 4 - 1;
    cmd.cdw11 = offset / 4;
    cmd.data = piece;
    cmd.data_len = len;
    cmd.ddir = HULD_DDIR_TO_DEVICE;
    cmd.timeout_ms = 30000;
    return huld_nvme_execute(&err, dev, &cmd);
  }
  huld_scsi_cmd cmd{};
  cmd.cdb[0] = 0x3B;
  cmd.cdb[1] = 0x0E;
  cmd.cdb[3] = static_cast<uint8_t>(offset >> 16);
  cmd.cdb[4] = static_cast<uint8_t>(offset >> 8);
  cmd.cdb[5] = static_cast<uint8_t>(offset);
  cmd.cdb[6] = static_cast<uint8_t>(len >> 16);
  cmd.cdb[7] = static_cast<uint8_t>(len >> 8);
  cmd.cdb[8] = static_cast<uint8_t>(len);
  cmd.cdb_len = 10;
  cmd.data = piece;
  cmd.data_len = len;
  cmd.ddir = HULD_DDIR_TO_DEVICE;
  cmd.sense_len = 32;
  cmd.timeout_ms = 30000;
  if (huld_scsi_execute(&err, dev, &cmd)) return 1;
  return cmd.scsi_status == 0 ? 0 : 1;
}

void BM_Download(benchmark::State &state, Route route) {
  huld_log_level = 0;
  load(route);
  huld_dev dev;
  if (!open_disk(&dev, route == Route::FirmwareRequestWindows10 ? WINDOWS_NVME : WINDOWS_SCSI)) {
    state.SkipWithError("could not open the simulated disk");
    return;
  }
  std::vector<uint8_t> image = sim::make_test_image(sim::ImageTarget::Nvme, "BENCHFW1", kImageSize);
  const uint32_t chunk = static_cast<uint32_t>(state.range(0));
  auto drive = sim::storage_nvme(0);

  uint64_t request_bytes = 0, requests = 0, image_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::trace_clear();
    if (drive) drive->controller_reset();  // drops what the last round staged
    state.ResumeTiming();
    for (uint32_t offset = 0; offset < image.size(); offset += chunk) {
      const uint32_t len = std::min<uint32_t>(chunk, static_cast<uint32_t>(image.size()) - offset);
      if (send_piece(&dev, route, image.data() + offset, offset, len)) {
        state.SkipWithError("download failed");
        break;
      }
    }
    state.PauseTiming();
    for (const sim::TraceEntry &e : sim::trace_entries()) {
      request_bytes += e.input.size();
      ++requests;
    }
    image_bytes += image.size();
    state.ResumeTiming();
  }
  sim::trace_clear();
  huld_dev_cleanup(&dev);
  const double mib = static_cast<double>(image_bytes) / kMiB;
  state.SetBytesProcessed(static_cast<int64_t>(image_bytes));
  state.counters["bytes_copied_per_MiB"] = mib ? static_cast<double>(request_bytes) / mib : 0;
  state.counters["image_copies"] = image_bytes ? static_cast<double>(request_bytes) / image_bytes : 0;
  state.counters["requests_per_MiB"] = mib ? static_cast<double>(requests) / mib : 0;
}

}  // namespace

BENCHMARK_CAPTURE(BM_Download, firmware_request_windows10, Route::FirmwareRequestWindows10)
    ->Arg(128 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Download, write_buffer_windows81, Route::WriteBufferWindows81)
    ->Arg(64 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Download, write_buffer_pass_through, Route::WriteBufferPassThrough)
    ->Arg(64 * 1024)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
