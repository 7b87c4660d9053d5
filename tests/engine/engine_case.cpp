#include "engine_case.h"

#include <cstdio>
#include <sstream>

#include "orbu/orbu_main.h"
#include "run_harness.h"
#include "sim/machine.h"
#include "sim/run_outputs.h"
#include "sim/storage.h"
#include "sim/window.h"

namespace enginetest {

const char *const kInboxNvme = R"({"id": "nvme", "personality": "inbox_nvme", "port": 0})";
const char *const kInboxAhci = R"({"id": "ahci", "personality": "inbox_ahci", "port": 1})";

namespace {

std::string disk(const std::string &id, const std::string &adapter, int physical_drive,
                 const std::string &model) {
  return R"({"id": ")" + id + R"(", "adapter": ")" + adapter +
         R"(", "physical_drive": )" + std::to_string(physical_drive) + ", " + model + "}";
}

// A disk answering to the `kind` command set ("nvme", "ata") with this model, firmware and SN-<id>.
std::string identified_disk(const char *kind, const std::string &id, const std::string &adapter,
                            int physical_drive, const std::string &model,
                            const std::string &firmware, const std::string &extra) {
  return disk(id, adapter, physical_drive,
              "\"" + std::string(kind) + R"(": {"model": ")" + model + R"(", "serial": "SN-)" + id +
                  R"(", "firmware": ")" + firmware + "\"" + extra + "}");
}

std::string text_after(const std::string &log, const std::string &label) {
  const size_t at = log.find(label);
  if (at == std::string::npos) return "?";
  return std::to_string(std::atoi(log.c_str() + at + label.size()));
}

}  // namespace

std::string nvme_disk(const std::string &id, const std::string &adapter, int physical_drive,
                      const std::string &model, const std::string &firmware,
                      const std::string &extra) {
  return identified_disk("nvme", id, adapter, physical_drive, model, firmware, extra);
}

std::string ata_disk(const std::string &id, const std::string &adapter, int physical_drive,
                     const std::string &model, const std::string &firmware,
                     const std::string &extra) {
  return identified_disk("ata", id, adapter, physical_drive, model, firmware, extra);
}

std::string scsi_disk(const std::string &id, const std::string &adapter, int physical_drive,
                      const std::string &product, const std::string &revision) {
  return disk(id, adapter, physical_drive,
              R"("scsi": {"vendor": "CORVANE", "product": ")" + product + R"(", "revision": ")" +
                  revision + R"(", "serial": "SN-)" + id + "\"}");
}

std::string machine(const std::string &os, const std::vector<std::string> &adapters,
                    const std::vector<std::string> &disks, const std::vector<std::string> &faults) {
  auto list = [](const std::vector<std::string> &items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); i++) out += (i ? ", " : "") + items[i];
    return out + "]";
  };
  const std::string os_json = os == "win81" ? R"({"major": 6, "minor": 3, "build": 9600})"
                                            : R"({"major": 10, "minor": 0, "build": 19045})";
  return R"({"name": "engine", "os": )" + os_json + R"(, "storage": {"adapters": )" +
         list(adapters) + R"(, "disks": )" + list(disks) + R"(}, "faults": )" + list(faults) +
         "}";
}

bytes image(sim::ImageTarget target, const std::string &revision, uint32_t size) {
  return sim::make_test_image(target, revision, size);
}

size_t count_of(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
  return n;
}

bytes vu_ata_image() {
  sim::TestImageSpec spec;
  spec.target = sim::ImageTarget::Ata;
  spec.revision = "CS100002";
  spec.vu_ctl = "CTL00002";
  spec.vu_srv = "SRV00002";
  spec.vu_ovl = "OVL002";
  spec.global_product_id = 0x0101;
  return sim::make_test_image(spec);
}

uint32_t Outcome::state_of(const std::string &display_prefix) const {
  for (const auto &[text, state] : states)
    if (text.rfind(display_prefix, 0) == 0) return state;
  return 0xFFFFFFFFu;
}

Outcome run(const Run &spec) {
  pkgtest::temp_dir dir;
  std::string module_path = dir.file("orbu.exe");
  if (spec.fwconfig.empty()) {
    for (const auto &[name, data] : spec.images) pkgtest::write_file(dir.file(name), data);
    pkgtest::write_file(module_path, pkgtest::pattern(100, 1));
  } else {
    std::vector<pkgtest::entry> entries = {{"fwconfig", spec.fwconfig}};
    for (const auto &[name, data] : spec.images) entries.push_back({name, data});
    pkgtest::write_file(module_path, pkgtest::package_bytes(pkgtest::pattern(100, 1), entries));
  }
  std::string line = spec.line;
  for (size_t at; (at = line.find("{dir}")) != std::string::npos;)
    line.replace(at, 5, dir.path().string());

  orbu_test::RunSpec run_spec;
  run_spec.command_line = line;
  run_spec.knobs = [&](sim::AppKnobs &) {
    sim::load_machine_json(spec.machine);
    sim::app_knobs().module_path = module_path;
    sim::app_knobs().fixed_calendar_time = 0;
    if (spec.prepare) spec.prepare();
  };
  run_spec.after = [&spec](orbu_test::Observations &seen) {
    if (spec.after_run) spec.after_run();
    // Machine times since the run started: the script's steps and the main window's life.
    const uint64_t start = std::stoull(seen["run_start_ms"]);
    nlohmann::json script = nlohmann::json::array();
    for (const auto &[index, time] : sim::ui_script_fired())
      script.push_back({index, time - start});
    seen["script"] = script.dump();
    for (const sim::Event &event : sim::history()) {
      if (event.parent != nullptr) continue;
      const std::string since_start = std::to_string(event.time_ms - start);
      if (event.kind == sim::EventKind::created) seen["window_created_ms"] = since_start;
      if (event.kind == sim::EventKind::destroyed) seen["window_destroyed_ms"] = since_start;
    }
    seen["drives"] = nlohmann::json::parse(sim::storage_state_json()).dump();
    nlohmann::json states = nlohmann::json::array();
    for (uint32_t i = 0; i < orbu_device_table.count; i++) {
      const orbu_device_update &r = orbu_device_table.records[i];
      states.push_back({r.display_text, r.state.load()});
    }
    seen["states"] = states.dump();
    nlohmann::json window = nlohmann::json::array();
    for (const sim::Event &event : sim::history()) window.push_back(sim::window_event_json(event));
    seen["window"] = window.dump();
  };
  const orbu_test::RunResult result = orbu_test::run_program(run_spec);

  Outcome out;
  out.exit_code = result.exit_code;
  out.failure = result.failure;
  out.log = result.log();
  auto seen = [&](const char *key) {
    auto it = result.seen.find(key);
    return it == result.seen.end() ? std::string("null") : it->second;
  };
  const nlohmann::json drives = nlohmann::json::parse(seen("drives"));
  if (drives.contains("drives"))
    for (const auto &d : drives["drives"]) out.drives[d["id"].get<std::string>()] = d;
  for (const auto &step : nlohmann::json::parse(seen("script"), nullptr, false))
    out.script.emplace_back(step[0].get<size_t>(), step[1].get<uint64_t>());
  auto time_of = [&](const char *key) {
    return result.seen.count(key) != 0 ? std::stoll(seen(key)) : int64_t{-1};
  };
  out.window_created_ms = time_of("window_created_ms");
  out.window_destroyed_ms = time_of("window_destroyed_ms");
  const nlohmann::json states = nlohmann::json::parse(seen("states"));
  for (const auto &s : states)
    out.states.emplace_back(s[0].get<std::string>(), s[1].get<uint32_t>());
  out.window = nlohmann::json::parse(seen("window"));
  out.summary = text_after(out.log, "Update application complete.\n    ") + "/" +
                text_after(out.log, "devices require reboot to activate firmware.\n    ") + "/" +
                text_after(out.log, "devices updated successfully.\n    ") + "/" +
                text_after(out.log, "devices failed to update.\n    ");
  return out;
}

}  // namespace enginetest
