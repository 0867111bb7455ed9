// The inputs that once found faults, fed again to the harness that found them, in every build.
// A broken check aborts the whole program (as it does under libFuzzer); the name of the input is
// printed first, so the failing one can be read from the output.
#include "fuzz/Harnesses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

using THarness = int (*)(const uint8_t*, size_t);

/// Feeds every file of fuzz/regressions/<folder> to `harness`; @return how many there were.
size_t Replay(const std::string& folder, THarness harness)
{
    const std::filesystem::path directory = std::filesystem::path(LINTAKER_FUZZ_REGRESSIONS) / folder;
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(directory))
        return 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s/%s\n", folder.c_str(), file.filename().c_str());
        std::fflush(stderr);
        EXPECT_EQ(harness(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0) << file;
    }
    return files.size();
}

class FuzzRegressions : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { fuzz::SetUp(); }
};

} // namespace

TEST_F(FuzzRegressions, Packet) { EXPECT_GT(Replay("packet", &fuzz::Packet), 0u); }
TEST_F(FuzzRegressions, Framing) { Replay("framing", &fuzz::Framing); }
TEST_F(FuzzRegressions, LogWriters) { Replay("log", &fuzz::LogWriters); }
TEST_F(FuzzRegressions, PortNames) { Replay("names", &fuzz::PortNames); }
