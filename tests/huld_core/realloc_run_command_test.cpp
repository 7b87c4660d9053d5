// A reallocation to 0 bytes leaves the block alone; a child started with arguments receives them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "sim/process.h"

namespace {

TEST(HuldRealloc, SizeZeroIsRefusedAndTheBlockStaysUsable) {
  void *block = malloc(32);
  ASSERT_NE(block, nullptr);
  memset(block, 0x5A, 32);
  void *before = block;
  EXPECT_EQ(huld_realloc(&block, 0), 1);
  EXPECT_EQ(block, before);
  EXPECT_EQ(static_cast<unsigned char *>(block)[31], 0x5A);  // still ours to read and free
  EXPECT_EQ(huld_realloc(&block, 64), 0);
  EXPECT_EQ(static_cast<unsigned char *>(block)[0], 0x5A);
  free(block);
}

TEST(HuldRunCommandArguments, ChildStartsWithTheCallersArguments) {
  sim::process_reset();
  const size_t handles_before = sim::handle_open_count();

  sim::ChildScript script;
  script.writes = {{0, "ok"}};
  script.exit_code = 4;
  script.exit_after_ms = 5;
  sim::register_child("fwtool.exe", script);

  char *output = nullptr;
  size_t length = 0;
  EXPECT_EQ(huld_run_command("fwtool.exe --scan \"C:\\a b\"", &output, &length, 0), 4u);
  EXPECT_STREQ(output, "ok");
  free(output);
  const auto history = sim::process_history();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].command_line, "fwtool.exe --scan \"C:\\a b\"");
  EXPECT_EQ(history[0].program, "fwtool.exe");
  EXPECT_EQ(history[0].arguments, "--scan \"C:\\a b\"");
  EXPECT_FALSE(history[0].parent_write_end_open_while_reading);

  EXPECT_EQ(sim::handle_open_count(), handles_before);
  EXPECT_EQ(sim::process_contract_violations(), 0u);
  sim::process_reset();
}

}  // namespace
