// The files a run leaves behind: the request trace and the window history as JSON lines.
#include "sim/run_outputs.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/faults.h"
#include "sim/machine.h"

namespace sim {
namespace {

using json = nlohmann::json;

std::string hex(uint64_t v) { return fault_key(v); }

std::string pointer(const void *p) { return hex(reinterpret_cast<uintptr_t>(p)); }

// Notes that make up the decoded command and the data phase; the rest stay under "notes".
bool decode_note(const std::string &key) {
  return key == "cdb" || key.rfind("ata_", 0) == 0 || key.rfind("nvme_cdw", 0) == 0 || key == "nvme_opcode" ||
         key == "nvme_nsid" || key == "data_length" || key == "data_direction";
}

const char *event_name(EventKind k) {
  switch (k) {
    case EventKind::created: return "created";
    case EventKind::destroyed: return "destroyed";
    case EventKind::text: return "text";
    case EventKind::font: return "font";
    case EventKind::visible: return "visible";
    case EventKind::enabled: return "enabled";
    case EventKind::progress_range: return "progress_range";
    case EventKind::progress_pos: return "progress_pos";
    case EventKind::bar_colour: return "bar_colour";
    case EventKind::close_menu: return "close_menu";
    case EventKind::click: return "click";
    case EventKind::message_box: return "message_box";
  }
  return "unknown";
}

template <typename Lines>
bool write_lines(const std::string &path, const Lines &lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const json &line : lines) out << line.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
  out.flush();
  return static_cast<bool>(out);
}

void write_outputs_once_at_exit() { write_run_outputs(); }

}  // namespace

json trace_entry_json(const TraceEntry &e) {
  json j;
  j["seq"] = e.seq;
  j["time_ms"] = e.time_ms;
  j["thread"] = e.thread_id;
  j["path"] = e.path;
  j["control_code"] = hex(e.control_code);
  j["input_length"] = e.input.size();
  if (std::string digest = trace_input_digest(e); !digest.empty()) j["input_digest"] = digest;
  j["output_length"] = e.output_size;
  if (!e.signature.empty() || e.miniport_code) {
    std::string sig = e.signature;
    while (!sig.empty() && sig.back() == '\0') sig.pop_back();
    j["miniport"] = {{"signature", sig}, {"control_code", hex(e.miniport_code.value_or(0))}};
  }
  if (e.timeout) j["timeout"] = *e.timeout;

  const auto note = [&](const char *key) -> const std::string * {
    auto it = e.notes.find(key);
    return it == e.notes.end() ? nullptr : &it->second;
  };
  json command = json::object();
  if (const std::string *op = note("nvme_opcode")) {
    json nvme = {{"opcode", *op}};
    for (const char *k : {"nvme_nsid", "nvme_cdw10", "nvme_cdw11", "nvme_cdw12", "nvme_cdw13", "nvme_cdw14",
                          "nvme_cdw15"})
      if (const std::string *v = note(k)) nvme[std::string(k).substr(5)] = *v;
    command["nvme"] = nvme;
  }
  if (const std::string *cdb = note("cdb")) command["cdb"] = *cdb;
  if (const std::string *cmd = note("ata_command")) {
    json ata = {{"command", *cmd}};
    for (const char *k : {"ata_feature", "ata_count", "ata_lba"})
      if (const std::string *v = note(k)) ata[std::string(k).substr(4)] = *v;
    command["ata"] = ata;
  }
  if (!command.empty()) j["command"] = command;
  if (const std::string *len = note("data_length")) {
    const std::string *dir = note("data_direction");
    j["data"] = {{"length", std::strtoull(len->c_str(), nullptr, 10)}, {"direction", dir ? *dir : "none"}};
  }

  j["result"] = e.result != FALSE;
  j["error"] = e.error;
  j["bytes_returned"] = e.bytes_returned;
  if (!e.fired_faults.empty()) j["faults"] = e.fired_faults;
  json notes = json::object();
  for (const auto &[k, v] : e.notes)
    if (!decode_note(k)) notes[k] = v;
  if (!notes.empty()) j["notes"] = notes;
  return j;
}

json window_event_json(const Event &e) {
  json j;
  j["seq"] = e.seq;
  j["time_ms"] = e.time_ms;
  j["event"] = event_name(e.kind);
  j["window"] = pointer(e.hwnd);
  j["parent"] = e.parent ? json(pointer(e.parent)) : json(nullptr);
  if (e.parent) j["id"] = e.id;
  j["class"] = e.class_name;
  switch (e.kind) {
    case EventKind::created:
      j["text"] = e.text;
      j["style"] = hex(static_cast<uint64_t>(e.value));
      j["x"] = e.rect.left;
      j["y"] = e.rect.top;
      j["width"] = e.rect.right - e.rect.left;
      j["height"] = e.rect.bottom - e.rect.top;
      break;
    case EventKind::text:
    case EventKind::message_box:
      j["text"] = e.text;
      break;
    case EventKind::font:
      j["font_height"] = e.value;
      j["font_weight"] = e.value2;
      break;
    case EventKind::visible:
      j["visible"] = e.value != 0;
      break;
    case EventKind::enabled:
      j["enabled"] = e.value != 0;
      break;
    case EventKind::close_menu:
      j["enabled"] = e.value != 0;
      j["menu_state"] = e.text;
      break;
    case EventKind::progress_range:
      j["min"] = e.value;
      j["max"] = e.value2;
      break;
    case EventKind::progress_pos:
      j["pos"] = e.value;
      break;
    case EventKind::bar_colour:
      // COLORREF 00bbggrr; CLR_DEFAULT (FF000000h) is the theme's colour.
      j["colour"] = hex(static_cast<uint64_t>(e.value) & 0xFFFFFFFF);
      if ((e.value & 0xFF000000) == 0)
        j["rgb"] = {e.value & 0xFF, (e.value >> 8) & 0xFF, (e.value >> 16) & 0xFF};
      break;
    case EventKind::destroyed:
    case EventKind::click:
      break;
  }
  return j;
}

bool write_trace_jsonl(const std::string &path) {
  std::vector<json> lines;
  for (const TraceEntry &e : trace_entries()) lines.push_back(trace_entry_json(e));
  return write_lines(path, lines);
}

bool write_ui_jsonl(const std::string &path) {
  std::vector<json> lines;
  for (const Event &e : history()) lines.push_back(window_event_json(e));
  const std::vector<UiStep> steps = ui_script();
  static const char *const actions[] = {"click", "system_close", "wm_close", "command"};
  for (const auto &[index, time] : ui_script_fired()) {
    json j = {{"event", "script"}, {"time_ms", time}, {"step", index}};
    if (index < steps.size()) {
      const UiStep &s = steps[index];
      j["action"] = actions[s.action];
      if (s.action == UiStep::click || s.action == UiStep::command) j["button"] = s.button_id >= 0 ? json(s.button_id) : json(s.button_text);
    }
    lines.push_back(j);
  }
  return write_lines(path, lines);
}

void write_run_outputs() {
  const char *trace = std::getenv("ORBU_SIM_TRACE_OUT");
  if (trace != nullptr && trace[0] != '\0' && !write_trace_jsonl(trace))
    std::fprintf(stderr, "simulated machine: cannot write the request trace to %s\n", trace);
  const char *ui = std::getenv("ORBU_SIM_UI_OUT");
  if (ui != nullptr && ui[0] != '\0' && !write_ui_jsonl(ui))
    std::fprintf(stderr, "simulated machine: cannot write the window history to %s\n", ui);
}

void write_run_outputs_at_exit() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  // The window manager's and the trace's state must outlive the handler: touching them now
  // constructs them before it is registered, so they are destroyed after it runs.
  (void)history();
  (void)trace_entries();
  (void)ui_script();
  std::atexit(write_outputs_once_at_exit);
}

}  // namespace sim
