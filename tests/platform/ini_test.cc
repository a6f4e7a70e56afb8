#include "platform/os/ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace zq::platform {
namespace {

TEST(IniText, KeysAreFoundWithoutRegardToBlanksAndCase) {
  IniText ini(
      "; comment\r\n"
      "[rfrw_drv]\r\n"
      "BlockTimeout=300\r\n"
      "  retrytimeout   =  1234  \r\n"
      "PID_VID = \"vid_1234&pid_5678\"\r\n");
  // The driver asks with a trailing blank; the file line has none.
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "BlockTimeout ", 2300), 300);
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "RetryTimeout ", 15000), 1234);
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "RetryTimeout", 15000), 1234);
  EXPECT_EQ(ini.GetString("RFRW_Drv", "pid_vid", "x", 128), "vid_1234&pid_5678");
}

TEST(IniText, AbsentKeysSectionsAndFilesGiveTheDefault) {
  IniText ini("[Other]\nBlockTimeout=1\n[RFRW_Drv]\nLogLevel=4\n");
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "BlockTimeout ", 2300), 2300);
  EXPECT_EQ(ini.GetInt("Missing", "LogLevel", 3), 3);
  EXPECT_EQ(ini.GetString("RFRW_Drv", "DspFileName", "ZQRWDSP01.dwl", 128), "ZQRWDSP01.dwl");
  // Lines before any section belong to none.
  IniText noSection("LogLevel=4\n");
  EXPECT_EQ(noSection.GetInt("RFRW_Drv", "LogLevel", 3), 3);

  IniFile missing("/nonexistent/dir/ZELQUAR_Drv.ini");
  EXPECT_FALSE(missing.exists());
  EXPECT_EQ(missing.text().GetInt("RFRW_Drv", "LogLevel", 3), 3);
}

TEST(IniText, FirstMatchWinsAcrossRepeatedSectionsAndKeys) {
  IniText ini("[RFRW_Drv]\nLogLevel=1\nLogLevel=2\n[RFRW_Drv]\nLogLevel=3\nGpioInitialData=7\n");
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "LogLevel", 0), 1);
  EXPECT_EQ(ini.GetInt("RFRW_Drv", "GpioInitialData", 0), 7);
}

TEST(IniText, IntegersReadLikeTheProfileReader) {
  IniText ini(
      "[S]\nneg=-17\nplus=+5\ntrail=300ms\nword=abc\nempty=\nhuge=4294967297\nspaced= 42 \n");
  EXPECT_EQ(ini.GetInt("S", "neg", 0), -17);
  EXPECT_EQ(ini.GetInt("S", "plus", 0), 5);
  EXPECT_EQ(ini.GetInt("S", "trail", 0), 300);
  EXPECT_EQ(ini.GetInt("S", "word", 9), 0);   // present but not a number
  EXPECT_EQ(ini.GetInt("S", "empty", 9), 0);
  EXPECT_EQ(ini.GetInt("S", "huge", 0), 1);   // wraps in 32 bits, never overflows
  EXPECT_EQ(ini.GetInt("S", "spaced", 0), 42);
}

TEST(IniText, StringsAreCutToTheBuffer) {
  const std::string longValue(300, 'x');
  IniText ini("[S]\nk=" + longValue + "\n");
  EXPECT_EQ(ini.GetString("S", "k", "", 128).size(), 127u);
  EXPECT_EQ(ini.GetString("S", "absent", longValue, 128).size(), 127u);
  EXPECT_EQ(ini.GetString("S", "k", "", 1), "");
}

TEST(IniFile, ReadsTheFileOnDisk) {
  const auto path = std::filesystem::temp_directory_path() / ("zq-ini-" + std::to_string(getpid()) + ".ini");
  {
    std::ofstream out(path);
    out << "[RFRW_Drv]\nCharacterTimeout=50\n";
  }
  IniFile file(path.string());
  EXPECT_TRUE(file.exists());
  EXPECT_EQ(file.text().GetInt("RFRW_Drv", "CharacterTimeout", 500), 50);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace zq::platform
