#include "platform/os/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

TEST(InputFile, ReadsInPiecesToTheEndAndNamesWhatWentWrong) {
  const std::string dir = (std::filesystem::temp_directory_path() / ("zq-files-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  { std::ofstream(dir + "/f.bin", std::ios::binary) << std::string("ABCDEFG"); }

  InputFile file;
  ASSERT_EQ(file.Open(dir + "/f.bin"), 0u);
  uint8_t buf[4];
  size_t got = 99;
  EXPECT_EQ(file.Read(buf, 4, &got), 0u);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "ABCD");
  EXPECT_EQ(file.Read(buf, 4, &got), 0u);  // short at the end
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "EFG");
  EXPECT_EQ(file.Read(buf, 4, &got), 0u);
  EXPECT_EQ(got, 0u);

  InputFile missing;
  EXPECT_EQ(missing.Open(dir + "/none.bin"), kErrorFileNotFound);
  EXPECT_NE(missing.Read(buf, 4, &got), 0u);
  EXPECT_EQ(got, 0u);
  // A directory opens but cannot be read.
  InputFile directory;
  ASSERT_EQ(directory.Open(dir), 0u);
  EXPECT_NE(directory.Read(buf, 4, &got), 0u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zq::platform
