// Whole runs of the tool on a described machine: the machine, the package (or none for
// command-line mode), the command line; afterwards the drives' real state, the device states,
// the summary counts, the log and the exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "sim/drives/fw_image.h"
#include "tests/package/package_writer.h"

namespace enginetest {

using pkgtest::bytes;

// Pieces of a machine description.
std::string nvme_disk(const std::string &id, const std::string &adapter, int physical_drive,
                      const std::string &model, const std::string &firmware,
                      const std::string &extra = "");
std::string ata_disk(const std::string &id, const std::string &adapter, int physical_drive,
                     const std::string &model, const std::string &firmware,
                     const std::string &extra = "");
std::string scsi_disk(const std::string &id, const std::string &adapter, int physical_drive,
                      const std::string &product, const std::string &revision);
// The machine: os ("win10", "win81"), adapters and disks (JSON objects), fault rules.
std::string machine(const std::string &os, const std::vector<std::string> &adapters,
                    const std::vector<std::string> &disks,
                    const std::vector<std::string> &faults = {});
extern const char *const kInboxNvme;  // adapter "nvme", port 0
extern const char *const kInboxAhci;  // adapter "ahci", port 1

struct Run {
  Run(std::string m, bytes config, std::vector<std::pair<std::string, bytes>> files,
      std::string command_line, std::function<void()> before = {})
      : machine(std::move(m)), fwconfig(std::move(config)), images(std::move(files)),
        line(std::move(command_line)), prepare(std::move(before)) {}
  std::string machine;
  bytes fwconfig;  // empty: no package, command-line mode
  std::vector<std::pair<std::string, bytes>> images;  // packed, or files of the run (CLI)
  std::string line;  // "{dir}" stands for the folder holding the image files
  std::function<void()> prepare;  // in the run's process, after the machine is loaded
  // In the run's process after the program returned, before the drives' state is read (a power
  // cycle, for one).
  std::function<void()> after_run;
};

struct Outcome {
  int exit_code = -1;
  std::string failure;
  std::string log;
  nlohmann::json drives;  // drive id -> state as ORBU_SIM_STATE_OUT writes it
  std::vector<std::pair<std::string, uint32_t>> states;  // display text, final state
  std::string summary;  // "reboot/updated/failed/not appropriate" counts, as logged
  nlohmann::json window;  // the window's events in order, as ORBU_SIM_UI_OUT writes them
  // Machine times since the run started: the "ui" script's steps that fired (step index, time),
  // in firing order, and the main window's creation and destruction (-1: none).
  std::vector<std::pair<size_t, uint64_t>> script;
  int64_t window_created_ms = -1;
  int64_t window_destroyed_ms = -1;
  const nlohmann::json &drive(const std::string &id) const { return drives.at(id); }
  uint32_t state_of(const std::string &display_prefix) const;
};

Outcome run(const Run &spec);

// How often `piece` occurs in `text` (a log).
size_t count_of(const std::string &text, const std::string &piece);

// Images of the simulated drives' test format.
bytes image(sim::ImageTarget target, const std::string &revision, uint32_t size = 20000);
// The ATA image for drive model id 0101h that brings revision CS100002 and the vendor-unique
// identity CTL00002, SRV00002, OVL002 (native firmware "CTLSR2OV L00V00L002").
bytes vu_ata_image();

}  // namespace enginetest
