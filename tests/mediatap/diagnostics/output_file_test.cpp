// The platform file layer's check that a file could be created, which changes nothing, and its
// sequential writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "diagnostics/output_file.h"
#include "read_file.h"

namespace {

namespace fs = std::filesystem;

// A file of the test's own folder.
fs::path scratch(const std::string& name) {
    const fs::path dir = fs::path(testing::TempDir()) / "output_file_test" /
                         testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir);
    return dir / name;
}

TEST(OutputFileCheck, PassesForANewFileOrAnExistingOneAndChangesNeither) {
    const fs::path existing = scratch("existing.mp4");
    std::ofstream(existing, std::ios::binary) << "an earlier recording";
    const fs::path fresh = scratch("fresh.mp4");
    fs::remove(fresh);
    for (const auto access : {OutputFile::Access::readWrite, OutputFile::Access::writeOnly}) {
        std::string reason;
        EXPECT_TRUE(OutputFile::checkCreate(existing.string(), access, reason)) << reason;
        EXPECT_TRUE(OutputFile::checkCreate(fresh.string(), access, reason)) << reason;
    }
    EXPECT_EQ(readFile(existing), "an earlier recording");
    EXPECT_FALSE(fs::exists(fresh));
    // Nothing is left in the folder but what was there.
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(existing.parent_path())) {
        entries += entry.path().filename() == "existing.mp4" ? 0 : 1;
    }
    EXPECT_EQ(entries, 0u);
}

// Each failure gives the text create itself would fail with.
TEST(OutputFileCheck, FailsWithThePlatformsTextForWhatCreateWouldMeet) {
    const fs::path file = scratch("a-file");
    std::ofstream(file) << "x";
    const std::string cases[] = {
        (scratch("no-such-folder") / "x.mp4").string(), (file / "x.mp4").string(),
        scratch("").string(),  // the folder itself
    };
    for (const std::string& name : cases) {
        SCOPED_TRACE(name);
        std::string reason;
        EXPECT_FALSE(OutputFile::checkCreate(name, OutputFile::Access::readWrite, reason));
        OutputFile created;
        ASSERT_FALSE(created.create(name));
        EXPECT_EQ(reason, created.errorText());
        EXPECT_FALSE(reason.empty());
    }
}

TEST(OutputFile, SequentialWritesFollowEachOther) {
    const fs::path path = scratch("sequential.log");
    OutputFile file;
    ASSERT_TRUE(file.create(path.string(), OutputFile::Access::writeOnly));
    ASSERT_TRUE(file.write("one ", 4));
    ASSERT_TRUE(file.write("two", 3));
    EXPECT_EQ(readFile(path), "one two");
    EXPECT_TRUE(file.close());
}

}  // namespace
