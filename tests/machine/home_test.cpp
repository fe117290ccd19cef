// The machine's home: sizes, machine.json, the sparse disc image.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "machine/home.h"

namespace {

namespace fs = std::filesystem;

TEST(Home, SizesAreWholeBlocks) {
    struct Case {
        const char* text;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"4.7G", 4'699'998'208},  // 2294921 blocks of 2048 bytes

        {"1Gi", 1ull << 30},
        {"2048", 2048},
        {"4095", 2048},
        {"1000", std::nullopt},  // less than a block
        {"12Q", std::nullopt},
        {"", std::nullopt},
        {"-5M", std::nullopt},
        {"99T", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(machine::ParseSize(c.text), c.bytes) << c.text;
}

TEST(Home, CreateWritesASparseImageAndAConfigThatReadsBack) {
    std::string home = ::testing::TempDir() + "home_test_" + std::to_string(::getpid());
    fs::remove_all(home);
    machine::MachineConfig config;
    config.product = 0x0015;
    config.disc_size = 4'699'999'744;
    std::string error;
    ASSERT_TRUE(machine::CreateHome(home, config, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(machine::DiscPath(home, config).c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), config.disc_size);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20) << "the image is sparse";

    machine::MachineConfig back;
    ASSERT_TRUE(machine::LoadConfig(home, &back, &error)) << error;
    EXPECT_EQ(back.product, 0x0015);
    EXPECT_EQ(back.disc_size, config.disc_size);
    EXPECT_TRUE(back.plugged);
    EXPECT_FALSE(machine::CreateHome(home, config, &error)) << "an existing machine is kept";
    EXPECT_NE(error.find("exists already"), std::string::npos);

    back.plugged = false;
    ASSERT_TRUE(machine::SaveConfig(home, back, &error)) << error;
    EXPECT_FALSE(fs::exists(home + "/machine.json.tmp"));
    ASSERT_TRUE(machine::LoadConfig(home, &back, &error));
    EXPECT_FALSE(back.plugged);

    std::ofstream(home + "/machine.json") << "{\"flavor\": \"nt\", \"product\": ";
    EXPECT_FALSE(machine::LoadConfig(home, &back, &error));
    EXPECT_NE(error.find("machine.json"), std::string::npos) << error;
    std::ofstream(home + "/machine.json") << "{\"flavor\": \"3.1\"}";
    EXPECT_FALSE(machine::LoadConfig(home, &back, &error));
    EXPECT_NE(error.find("flavor must be nt or 9x"), std::string::npos) << error;
    fs::remove_all(home);
    EXPECT_FALSE(machine::LoadConfig(home, &back, &error));
    EXPECT_NE(error.find("tvqr init"), std::string::npos);
}

TEST(Home, DefaultHomeFollowsOptionThenEnvironment) {
    EXPECT_EQ(machine::DefaultHome("/x"), "/x");
    ::setenv("TVQR_HOME", "/from/env", 1);
    EXPECT_EQ(machine::DefaultHome(""), "/from/env");
    ::unsetenv("TVQR_HOME");
    ::setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(machine::DefaultHome(""), "/state/tvqr");
}

}  // namespace
