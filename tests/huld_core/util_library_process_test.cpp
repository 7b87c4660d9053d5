// Dynamic library loading and child processes, over the simulated machine's fake modules and
// scripted children.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "huld/huld_util.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

INT_PTR export_one() { return 1; }
INT_PTR export_two() { return 2; }

class HuldLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::process_reset();
    sim::register_module("FAKEVENDOR.DLL", {{"vendor_open", &export_one}, {"vendor_close", &export_two}});
  }
  void TearDown() override {
    EXPECT_EQ(sim::library_loaded_count(), 0u) << "library left loaded";
    EXPECT_EQ(sim::library_bad_free_count(), 0u);
    EXPECT_EQ(sim::process_contract_violations(), 0u);
    sim::process_reset();
  }
};

TEST_F(HuldLibraries, LoadsFromSystemDirectoryWithDllSuffix) {
  HMODULE lib = huld_load_library("fakevendor");
  ASSERT_NE(lib, nullptr);
  ASSERT_EQ(sim::library_load_history().size(), 1u);
  EXPECT_EQ(sim::library_load_history()[0], "fakevendor.DLL");
  EXPECT_EQ(huld_get_proc_address(lib, "vendor_close"), reinterpret_cast<FARPROC>(&export_two));
  EXPECT_EQ(huld_get_proc_address(lib, "missing"), nullptr);
  huld_free_library(&lib);
  EXPECT_EQ(lib, nullptr);
  huld_free_library(&lib);  // a null handle is left alone
  EXPECT_EQ(huld_load_library("absent"), nullptr);
}

TEST_F(HuldLibraries, LongNameIsCutButKeepsExtension) {
  std::string name(400, 'n');
  EXPECT_EQ(huld_load_library(name.c_str()), nullptr);
  ASSERT_EQ(sim::library_load_history().size(), 1u);
  std::string asked = sim::library_load_history()[0];
  EXPECT_EQ(asked.size(), 259u);
  EXPECT_EQ(asked.substr(asked.size() - 4), ".DLL");
}

TEST_F(HuldLibraries, ResolvesTableInOrderOrFreesOnMissingEntry) {
  FARPROC open = nullptr, close = nullptr;
  huld_library_function table[] = {{"vendor_open", &open}, {"vendor_close", &close}};
  HMODULE lib = huld_load_library_functions("FakeVendor", table, 2);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(open, reinterpret_cast<FARPROC>(&export_one));
  EXPECT_EQ(close, reinterpret_cast<FARPROC>(&export_two));
  EXPECT_EQ(sim::library_loaded_count(), 1u);
  huld_free_library(&lib);

  FARPROC missing = nullptr;
  huld_library_function partial[] = {{"vendor_open", &open}, {"vendor_reset", &missing}};
  EXPECT_EQ(huld_load_library_functions("FakeVendor", partial, 2), nullptr);
  EXPECT_EQ(sim::library_loaded_count(), 0u);  // freed again
}

class HuldRunCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::process_reset();
    handles_before_ = sim::handle_open_count();
    bad_closes_before_ = sim::handle_bad_close_count();
  }
  void TearDown() override {
    EXPECT_EQ(sim::handle_open_count(), handles_before_) << "handle leak";
    EXPECT_EQ(sim::handle_bad_close_count(), bad_closes_before_);
    free(output_);
    sim::process_reset();
  }

  uint32_t run(const char *command, uint32_t limit) {
    free(output_);
    output_ = nullptr;
    length_ = 12345;
    return huld_run_command(command, &output_, &length_, limit);
  }

  size_t handles_before_ = 0;
  size_t bad_closes_before_ = 0;
  char *output_ = nullptr;
  size_t length_ = 0;
};

TEST_F(HuldRunCommand, CollectsOutputAndExitCode) {
  sim::ChildScript script;
  script.writes = {{0, "hello "}, {5, "wor"}, {9, "ld"}};
  script.exit_code = 3;
  script.exit_after_ms = 20;
  sim::register_child("\"tool.exe\"", script);

  EXPECT_EQ(run("tool.exe --scan \"C:\\a b\"", 0), 3u);
  ASSERT_NE(output_, nullptr);
  EXPECT_STREQ(output_, "hello world");
  EXPECT_EQ(length_, 12u);  // including the NUL

  auto history = sim::process_history();
  ASSERT_EQ(history.size(), 1u);
  const auto &p = history[0];
  EXPECT_EQ(p.command_line, "tool.exe --scan \"C:\\a b\"");
  EXPECT_EQ(p.program, "tool.exe");
  EXPECT_EQ(p.arguments, "--scan \"C:\\a b\"");
  EXPECT_TRUE(p.inherit_handles);
  EXPECT_TRUE(p.startup_flags & STARTF_USESTDHANDLES);
  EXPECT_TRUE(p.stdout_to_pipe);
  EXPECT_TRUE(p.stderr_to_pipe);
  EXPECT_TRUE(p.stdin_invalid);
  EXPECT_FALSE(p.read_end_inherited);
  EXPECT_FALSE(p.parent_write_end_open_while_reading);
  EXPECT_FALSE(p.terminated);
}

TEST_F(HuldRunCommand, QuotedCommandLinePassesUnchanged) {
  sim::ChildScript script;
  script.exit_after_ms = 1;
  sim::register_child("\"C:\\Program Files\\t.exe\" -v", script);
  EXPECT_EQ(run("\"C:\\Program Files\\t.exe\" -v", 0), 0u);
  EXPECT_STREQ(output_, "");
  EXPECT_EQ(length_, 1u);
}

TEST_F(HuldRunCommand, DrainsBytesWrittenJustBeforeExit) {
  sim::ChildScript script;
  script.writes = {{1, "start;"}};
  script.last_bytes = "final words";
  script.exit_code = 0;
  script.exit_after_ms = 10;
  sim::register_child("\"drain.exe\"", script);

  EXPECT_EQ(run("drain.exe", 0), 0u);
  EXPECT_STREQ(output_, "start;final words");
}

TEST_F(HuldRunCommand, LargeOutputGrowsTheBuffer) {
  std::string expected;
  sim::ChildScript script;
  for (int i = 0; i < 10; i++) {
    std::string chunk(1000, static_cast<char>('a' + i));
    script.writes.push_back({static_cast<uint64_t>(i), chunk});
    expected += chunk;
  }
  script.exit_after_ms = 50;
  script.exit_code = 7;
  sim::register_child("\"big.exe\"", script);

  EXPECT_EQ(run("big.exe", 0), 7u);
  EXPECT_EQ(length_, expected.size() + 1);
  EXPECT_EQ(std::string(output_), expected);
}

TEST_F(HuldRunCommand, TimeLimitTerminatesChild) {
  sim::ChildScript script;
  script.writes = {{0, "working"}};
  script.never_exits = true;
  sim::register_child("\"hang.exe\"", script);

  EXPECT_EQ(run("hang.exe", 2), 0xFFFFFFFEu);
  EXPECT_STREQ(output_, "working");
  auto history = sim::process_history();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_TRUE(history[0].terminated);
  EXPECT_EQ(history[0].terminate_exit_code, 0xFFFFFFFEu);
}

TEST_F(HuldRunCommand, PipeOrStartFailureGivesAllOnes) {
  sim::process_faults().fail_create_pipe = true;
  EXPECT_EQ(run("tool.exe", 0), 0xFFFFFFFFu);
  EXPECT_EQ(output_, nullptr);
  EXPECT_EQ(length_, 0u);
  EXPECT_TRUE(sim::process_history().empty());

  sim::process_faults().fail_create_pipe = false;
  EXPECT_EQ(run("not-registered.exe", 0), 0xFFFFFFFFu);  // CreateProcessA fails
  EXPECT_EQ(output_, nullptr);
  ASSERT_EQ(sim::process_history().size(), 1u);
  EXPECT_FALSE(sim::process_history()[0].started);
}

}  // namespace
