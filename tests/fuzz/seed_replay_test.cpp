// Runs a fuzz target's entry point over every seed of its committed corpus
// (KELVANE_SEED_DIR). A broken check in the target aborts the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

TEST(FuzzSeeds, EverySeedRunsClean) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(nullptr, nullptr);
  size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KELVANE_SEED_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0) << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 4u);
}
