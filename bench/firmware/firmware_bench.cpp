// Downloads a firmware image with the firmware library through every route of the device access
// layer on the reference machine and reports, per MiB of image: the requests handed to the driver,
// their bytes (one copy of the image plus the request headers), and the heap the product itself
// allocates (bytes in total and the peak held at once), so an extra copy of the image shows.
//
// The heap is counted by replacing malloc, calloc, realloc and free in this program (operator new
// goes through malloc). What the simulated driver and drives allocate inside DeviceIoControl is
// not the product's: the call is wrapped at link time and the count paused while it runs.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "huld/huld_dev.h"
#include "huld/huld_environment.h"
#include "huld/huld_log.h"
#include "sim/drives/fw_image.h"
#include "sim/drives/nvme_controller.h"
#include "sim/machine.h"
#include "sim/storage.h"
#include "sim/trace.h"
#include "vornfirmware/firmware.h"

// ---- heap count --------------------------------------------------------------------------------
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FW_BENCH_COUNTS_HEAP 0
#else
#define FW_BENCH_COUNTS_HEAP 1
#endif

namespace {

struct HeapCount {
  bool on = false;
  uint64_t allocated = 0;
  int64_t live = 0;
  int64_t peak = 0;
};
thread_local HeapCount heap;
thread_local int paused = 0;

[[maybe_unused]] void count_alloc(void *p) {
  if (!p || !heap.on || paused) return;
  const size_t n = malloc_usable_size(p);
  heap.allocated += n;
  heap.live += static_cast<int64_t>(n);
  if (heap.live > heap.peak) heap.peak = heap.live;
}
[[maybe_unused]] void count_free(void *p) {
  if (!p || !heap.on || paused) return;
  heap.live -= static_cast<int64_t>(malloc_usable_size(p));
}

}  // namespace

#if FW_BENCH_COUNTS_HEAP
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
  void *p = __libc_malloc(n);
  count_alloc(p);
  return p;
}
void *calloc(size_t count, size_t n) {
  void *p = __libc_calloc(count, n);
  count_alloc(p);
  return p;
}
void *realloc(void *old, size_t n) {
  const int64_t before = old ? static_cast<int64_t>(malloc_usable_size(old)) : 0;
  void *p = __libc_realloc(old, n);
  if (!p && n) return p;  // the old block stays
  if (heap.on && !paused) heap.live -= before;
  count_alloc(p);
  return p;
}
void free(void *p) {
  count_free(p);
  __libc_free(p);
}
}
#endif

// DeviceIoControl is wrapped by the linker (--wrap): the driver's own allocations are not counted.
extern "C" BOOL __real__Z15DeviceIoControlPvjS_jS_jPjP11_OVERLAPPED(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD,
                                                                    LPDWORD, LPOVERLAPPED);
extern "C" BOOL __wrap__Z15DeviceIoControlPvjS_jS_jPjP11_OVERLAPPED(HANDLE h, DWORD code, LPVOID in, DWORD in_size,
                                                                    LPVOID out, DWORD out_size, LPDWORD returned,
                                                                    LPOVERLAPPED overlapped) {
  ++paused;
  const BOOL ok = __real__Z15DeviceIoControlPvjS_jS_jPjP11_OVERLAPPED(h, code, in, in_size, out, out_size, returned,
                                                                      overlapped);
  --paused;
  return ok;
}

// ---- routes ------------------------------------------------------------------------------------
namespace {

constexpr uint32_t kMiB = 1024 * 1024;
// Not a whole number of blocks or dwords, so the padded last piece shows; through SCSI, whose
// pieces an NVMe drive behind a translation takes only in whole dwords, not a whole number of
// blocks.
constexpr uint32_t kImageSize = 4 * kMiB + 1001;
constexpr uint32_t kScsiImageSize = 4 * kMiB + 1000;

enum class Kind { ata, nvme, scsi };

struct Route {
  const char *record;
  const char *drive;
  Kind kind;
  bool windows81 = false;
  bool as_scsi = false;  // the record taken as a SCSI device (WRITE BUFFER through the translation)
};

nlohmann::json machine(const Route &r) {
  std::ifstream f(sim::machine_file_path("ref1"));
  nlohmann::json m = nlohmann::json::parse(f);
  if (r.windows81) m["os"] = {{"major", 6}, {"minor", 3}, {"build", 9600}, {"product_type", "workstation"}};
  return m;
}

// The machine loaded and the route's record probed and opened, as the scan leaves it.
struct Setup {
  huld_dev_enumeration devices{};
  huld_dev *dev = nullptr;
  explicit Setup(const Route &r) {
    sim::load_machine_json(machine(r).dump());
    huld_environment_initialize();
    huld_dev_enumerate_flags(&devices, 0x7F);
    for (uint32_t i = 0; i < devices.count; ++i) {
      huld_dev &d = devices.devices[i];
      if (std::strcmp(d.name, r.record) != 0) continue;
      huld_error err{};
      if (huld_dev_probe_flags(&err, &d, 0) == 0) dev = &d;
      if (dev && r.as_scsi) dev->iface = WINDOWS_SCSI;
    }
  }
  ~Setup() {
    for (uint32_t i = 0; i < devices.count; ++i) huld_dev_cleanup(&devices.devices[i]);
    huld_dev_release(&devices);
    sim::reset_machine();
  }
};

sim::ImageTarget target(Kind k) {
  return k == Kind::ata ? sim::ImageTarget::Ata : k == Kind::nvme ? sim::ImageTarget::Nvme : sim::ImageTarget::Scsi;
}

// The transfer size the application uses on this route.
uint32_t chunk_for(huld_dev *dev, Kind kind) {
  uint32_t chunk = 8192;
  huld_error err{};
  if (kind == Kind::ata) vornfirmware_ata_get_transfer_size(&err, dev, &chunk);
  if (kind == Kind::nvme) vornfirmware_nvme_get_transfer_size(&err, dev, &chunk);
  return chunk;
}

int download(huld_dev *dev, Kind kind, const std::vector<uint8_t> &image, uint32_t chunk) {
  huld_error err{};
  vornfirmware_progress progress{0.0};
  const uint32_t size = static_cast<uint32_t>(image.size());
  switch (kind) {
    case Kind::ata:
      return vornfirmware_ata_download(&err, dev, image.data(), size, 0x0E, chunk, &progress);
    case Kind::nvme:
      return vornfirmware_nvme_download(&err, dev, image.data(), size, chunk, &progress);
    case Kind::scsi:
      break;
  }
  return vornfirmware_scsi_download(&err, dev, image.data(), size, 0x0E, chunk, &progress);
}

void BM_Download(benchmark::State &state, Route route) {
  huld_log_level = 0;
  Setup setup(route);
  if (!setup.dev) {
    state.SkipWithError("the route's record did not probe");
    return;
  }
  const uint32_t size = route.kind == Kind::scsi ? kScsiImageSize : kImageSize;
  const std::vector<uint8_t> image = sim::make_test_image(target(route.kind), "BENCHFW1", size);
  const uint32_t chunk = chunk_for(setup.dev, route.kind);
  const auto drive = sim::storage_drive(route.drive);

  uint64_t request_bytes = 0, requests = 0, image_bytes = 0, heap_bytes = 0;
  int64_t heap_peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::trace_clear();
    if (drive.nvme) drive.nvme->controller_reset();  // drops what the last round staged
    heap = HeapCount{};
    heap.on = true;
    state.ResumeTiming();
    const int failed = download(setup.dev, route.kind, image, chunk);
    state.PauseTiming();
    heap.on = false;
    if (failed) {
      state.SkipWithError("download failed");
      break;
    }
    for (const sim::TraceEntry &e : sim::trace_entries()) {
      request_bytes += e.input.size();
      ++requests;
    }
    heap_bytes += heap.allocated;
    if (heap.peak > heap_peak) heap_peak = heap.peak;
    image_bytes += image.size();
    state.ResumeTiming();
  }
  sim::trace_clear();
  const double mib = static_cast<double>(image_bytes) / kMiB;
  state.SetBytesProcessed(static_cast<int64_t>(image_bytes));
  state.counters["chunk"] = chunk;
  state.counters["requests_per_MiB"] = mib ? static_cast<double>(requests) / mib : 0;
  state.counters["request_bytes_per_MiB"] = mib ? static_cast<double>(request_bytes) / mib : 0;
  state.counters["image_copies"] = image_bytes ? static_cast<double>(request_bytes) / image_bytes : 0;
  if (FW_BENCH_COUNTS_HEAP) {
    state.counters["heap_bytes_per_MiB"] = mib ? static_cast<double>(heap_bytes) / mib : 0;
    state.counters["heap_peak_bytes"] = static_cast<double>(heap_peak);
    state.counters["heap_peak_per_MiB"] = static_cast<double>(heap_peak) / (static_cast<double>(size) / kMiB);
  }
}

}  // namespace

#define FW_ROUTE(name, ...) \
  BENCHMARK_CAPTURE(BM_Download, name, Route{__VA_ARGS__})->Unit(benchmark::kMillisecond)->Iterations(2)

FW_ROUTE(inbox_nvme, "disk1", "B", Kind::nvme);
FW_ROUTE(inbox_nvme_write_buffer, "disk1", "B", Kind::scsi, false, true);
FW_ROUTE(inbox_nvme_windows81_write_buffer, "disk1", "B", Kind::scsi, true);
FW_ROUTE(inbox_ahci, "disk0", "A", Kind::ata);
FW_ROUTE(sat_usb, "disk9", "F", Kind::ata);
FW_ROUTE(sat_sas, "disk13", "S1", Kind::ata);
FW_ROUTE(scsi_sas, "disk14", "S2", Kind::scsi);
FW_ROUTE(rst_sata, "disk4", "D", Kind::ata);
FW_ROUTE(rst_nvme, "disk7", "E", Kind::nvme);
FW_ROUTE(rste_nvme, "rstep10.6.0", "R6", Kind::nvme);
FW_ROUTE(maker_nvme, "disk2", "C", Kind::nvme);
FW_ROUTE(nevox, "disk3.pd5", "PD5", Kind::nvme);
FW_ROUTE(csmi_rst, "csmi5.0.0.500103aa00000000", "D", Kind::ata);
FW_ROUTE(csmi_sas, "csmi11.0.0.500a0b0100000000", "S1", Kind::ata);
FW_ROUTE(uas_nvme, "disk10", "G", Kind::nvme);

BENCHMARK_MAIN();
