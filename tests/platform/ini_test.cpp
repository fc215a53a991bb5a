#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/ini.h"
#include "platform/platform.h"
#include "tests/platform/test_dir.h"

namespace {

using os::IniGetValue;
using os::IniSetValue;

const char kSample[] =
    "; settings of the plug-ins\n"
    "[Other]\n"
    "velkport=COM9\n"
    "\n"
    "[VLK]\n"
    "velkport=COM3\n"
    "; the rate index\n"
    "baud=15\n"
    "\n"
    "[Last]\n"
    "x=1\n";

// ---------------------------------------------------------------------------
// Reading

TEST(IniGetValue, ReturnsTheDefaultWhenSectionOrKeyIsMissing) {
  EXPECT_EQ(IniGetValue(kSample, "VLK", "nothing", "dflt"), "dflt");
  EXPECT_EQ(IniGetValue(kSample, "Nowhere", "velkport", "COM1"), "COM1");
  EXPECT_EQ(IniGetValue("", "VLK", "velkport", "COM1"), "COM1");
}

TEST(IniGetValue, FindsTheKeyInItsOwnSection) {
  EXPECT_EQ(IniGetValue(kSample, "VLK", "velkport", ""), "COM3");
  EXPECT_EQ(IniGetValue(kSample, "Other", "velkport", ""), "COM9");
  EXPECT_EQ(IniGetValue(kSample, "VLK", "baud", ""), "15");
  EXPECT_EQ(IniGetValue(kSample, "VLK", "x", "none"), "none");
}

TEST(IniGetValue, NamesIgnoreCaseAndSurroundingBlanks) {
  EXPECT_EQ(IniGetValue(kSample, "vlk", "VELKPORT", ""), "COM3");
  EXPECT_EQ(IniGetValue(kSample, " Vlk ", " VelkPort\t", ""), "COM3");
  const std::string spaced = "  [ VLK ]  \n   velkport  =   COM4   \n";
  EXPECT_EQ(IniGetValue(spaced, "VLK", "velkport", ""), "COM4");
}

TEST(IniGetValue, ValuesLoseSurroundingQuotesAndStayEmptyWhenEmpty) {
  const std::string text = "[s]\na=\"quoted value\"\nb='single'\nc=\nd\ne=\"unbalanced\n";
  EXPECT_EQ(IniGetValue(text, "s", "a", "x"), "quoted value");
  EXPECT_EQ(IniGetValue(text, "s", "b", "x"), "single");
  EXPECT_EQ(IniGetValue(text, "s", "c", "x"), "");
  EXPECT_EQ(IniGetValue(text, "s", "d", "x"), "");
  EXPECT_EQ(IniGetValue(text, "s", "e", "x"), "\"unbalanced");
}

TEST(IniGetValue, CommentsAndKeysOutsideSectionsAreNotValues) {
  const std::string text = "velkport=COM7\n[VLK]\n;velkport=COM8\n";
  EXPECT_EQ(IniGetValue(text, "VLK", "velkport", "COM1"), "COM1");
  EXPECT_EQ(IniGetValue(text, "VLK", ";velkport", "none"), "none");
}

TEST(IniGetValue, TheFirstMatchCounts) {
  const std::string text = "[a]\nk=1\nk=2\n[A]\nk=3\n";
  EXPECT_EQ(IniGetValue(text, "a", "k", ""), "1");
}

TEST(IniGetValue, ReadsCrLfFiles) {
  EXPECT_EQ(IniGetValue("[VLK]\r\nvelkport=COM5\r\nbaud=3\r\n", "VLK", "velkport", ""), "COM5");
}

// Files saved by editors that put a byte-order mark first are read, and a
// write keeps the mark.
TEST(IniGetValue, ReadsPastAByteOrderMark) {
  const std::string marked = "\xEF\xBB\xBF[VLK]\r\nvelkport=COM5\r\n";
  EXPECT_EQ(IniGetValue(marked, "VLK", "velkport", ""), "COM5");
  EXPECT_EQ(IniSetValue(marked, "VLK", "baud", "13"), "\xEF\xBB\xBF[VLK]\r\nvelkport=COM5\r\nbaud=13\r\n");
}

TEST(IniGetValue, ValuesAreCutTo2047Characters) {
  const std::string longValue(3000, 'v');
  EXPECT_EQ(IniGetValue("[s]\nk=" + longValue + "\n", "s", "k", "").size(), 2047u);
  EXPECT_EQ(IniGetValue("", "s", "k", longValue).size(), 2047u);
}

// ---------------------------------------------------------------------------
// Writing

TEST(IniSetValue, ReplacesTheValueAndKeepsEveryOtherLine) {
  const std::string out = IniSetValue(kSample, "vlk", "BAUD", "7");
  EXPECT_EQ(out,
            "; settings of the plug-ins\n"
            "[Other]\n"
            "velkport=COM9\n"
            "\n"
            "[VLK]\n"
            "velkport=COM3\n"
            "; the rate index\n"
            "baud=7\n"
            "\n"
            "[Last]\n"
            "x=1\n");
}

TEST(IniSetValue, AddsAMissingKeyAfterTheSectionsLastEntry) {
  const std::string out = IniSetValue(kSample, "Other", "baud", "2");
  EXPECT_EQ(out,
            "; settings of the plug-ins\n"
            "[Other]\n"
            "velkport=COM9\n"
            "baud=2\n"
            "\n"
            "[VLK]\n"
            "velkport=COM3\n"
            "; the rate index\n"
            "baud=15\n"
            "\n"
            "[Last]\n"
            "x=1\n");
}

TEST(IniSetValue, AddsAMissingSectionAtTheEnd) {
  EXPECT_EQ(IniSetValue("[a]\nk=1\n", "VLK", "velkport", "COM2"),
            "[a]\nk=1\n\n[VLK]\nvelkport=COM2\n");
  EXPECT_EQ(IniSetValue("[a]\nk=1", "VLK", "baud", "1"), "[a]\nk=1\n\n[VLK]\nbaud=1\n");
}

TEST(IniSetValue, CreatesTheContentFromNothing) {
  EXPECT_EQ(IniSetValue("", "VLK", "velkport", "COM1"), "[VLK]\nvelkport=COM1\n");
}

TEST(IniSetValue, KeepsCrLfLineEndings) {
  EXPECT_EQ(IniSetValue("[VLK]\r\nvelkport=COM5\r\n", "VLK", "baud", "3"),
            "[VLK]\r\nvelkport=COM5\r\nbaud=3\r\n");
}

TEST(IniSetValue, AFileWithoutFinalLineEndStaysWithout) {
  EXPECT_EQ(IniSetValue("[VLK]\nvelkport=COM5", "VLK", "baud", "3"),
            "[VLK]\nvelkport=COM5\nbaud=3");
}

TEST(IniSetValue, WhatIsWrittenReadsBack) {
  std::string text;
  text = IniSetValue(text, "VLK", "velkport", "ttyUSB0");
  text = IniSetValue(text, "VLK", "baud", "13");
  text = IniSetValue(text, "vlk", "velkport", "/dev/ttyACM1");
  EXPECT_EQ(IniGetValue(text, "VLK", "velkport", ""), "/dev/ttyACM1");
  EXPECT_EQ(IniGetValue(text, "VLK", "baud", ""), "13");
}

// ---------------------------------------------------------------------------
// Integers

TEST(ParseIniInteger, ReadsDecimalAndBothHexadecimalForms) {
  std::int32_t v = 0;
  ASSERT_TRUE(ParseIniInteger("15", &v));
  EXPECT_EQ(v, 15);
  ASSERT_TRUE(ParseIniInteger("$0F", &v));
  EXPECT_EQ(v, 15);
  ASSERT_TRUE(ParseIniInteger("0x0F", &v));
  EXPECT_EQ(v, 15);
  ASSERT_TRUE(ParseIniInteger("0X0f", &v));
  EXPECT_EQ(v, 15);
  ASSERT_TRUE(ParseIniInteger("0x1", &v));
  EXPECT_EQ(v, 1);
  ASSERT_TRUE(ParseIniInteger("-3", &v));
  EXPECT_EQ(v, -3);
  ASSERT_TRUE(ParseIniInteger("+4", &v));
  EXPECT_EQ(v, 4);
  ASSERT_TRUE(ParseIniInteger("-$10", &v));
  EXPECT_EQ(v, -16);
  ASSERT_TRUE(ParseIniInteger("257", &v));
  EXPECT_EQ(v, 257);
  ASSERT_TRUE(ParseIniInteger("2147483647", &v));
  EXPECT_EQ(v, 2147483647);
  ASSERT_TRUE(ParseIniInteger("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  ASSERT_TRUE(ParseIniInteger("$FFFFFFFF", &v));
  EXPECT_EQ(v, -1);
  ASSERT_TRUE(ParseIniInteger("007", &v));
  EXPECT_EQ(v, 7);
}

TEST(ParseIniInteger, RejectsEverythingElseAndLeavesTheValue) {
  for (const char* bad : {"", "abc", "0x", "0X", "$", "-", "+", "1.5", "12a", "0x0G", "$-1",
                          "2147483648", "-2147483649", "$100000000", "x0F", "1 2", "--1"}) {
    std::int32_t v = 99;
    EXPECT_FALSE(ParseIniInteger(bad, &v)) << bad;
    EXPECT_EQ(v, 99) << bad;
  }
}

// ---------------------------------------------------------------------------
// The file functions

TEST(IniFile, MissingFileGivesDefaults) {
  TestDir dir;
  EXPECT_EQ(os::IniRead(dir.File("fsplugin.ini"), "VLK", "velkport", "COM1"), "COM1");
  EXPECT_EQ(os::IniRead(dir.File("fsplugin.ini"), "VLK", "baud", "1"), "1");
}

TEST(IniFile, WriteCreatesTheFileAndSection) {
  TestDir dir;
  const std::string file = dir.File("fsplugin.ini");
  ASSERT_EQ(os::IniWrite(file, "VLK", "velkport", "COM4"), 0);
  ASSERT_EQ(os::IniWrite(file, "VLK", "baud", "15"), 0);
  std::string content;
  ASSERT_EQ(os::ReadLocalFile(file, &content), 0);
  EXPECT_EQ(content, "[VLK]\nvelkport=COM4\nbaud=15\n");
  EXPECT_EQ(os::IniRead(file, "vlk", "VELKPORT", "COM1"), "COM4");
  std::int32_t baud = 0;
  ASSERT_TRUE(ParseIniInteger(os::IniRead(file, "VLK", "baud", "1"), &baud));
  EXPECT_EQ(baud, 15);
}

TEST(IniFile, WriteKeepsOtherSectionsKeysAndComments) {
  TestDir dir;
  const std::string file = dir.File("fsplugin.ini");
  ASSERT_EQ(os::WriteLocalFile(file, kSample), 0);
  ASSERT_EQ(os::IniWrite(file, "VLK", "velkport", "ttyUSB0"), 0);
  std::string content;
  ASSERT_EQ(os::ReadLocalFile(file, &content), 0);
  std::string expected = kSample;
  expected.replace(expected.find("velkport=COM3"), 13, "velkport=ttyUSB0");
  EXPECT_EQ(content, expected);
}

TEST(IniFile, HexadecimalBaudValuesReadAs15) {
  TestDir dir;
  const std::string file = dir.File("fsplugin.ini");
  for (const char* text : {"$0F", "0x0F"}) {
    ASSERT_EQ(os::IniWrite(file, "VLK", "baud", text), 0);
    std::int32_t baud = 1;
    ASSERT_TRUE(ParseIniInteger(os::IniRead(file, "VLK", "baud", "1"), &baud)) << text;
    EXPECT_EQ(baud, 15) << text;
  }
  ASSERT_EQ(os::IniWrite(file, "VLK", "baud", "abc"), 0);
  std::int32_t baud = 1;
  EXPECT_FALSE(ParseIniInteger(os::IniRead(file, "VLK", "baud", "1"), &baud));
}

TEST(IniFile, ARefusedWriteReturnsTheSystemsCode) {
  TestDir dir;
  const std::string notAFolder = dir.File("plain");
  ASSERT_EQ(os::WriteLocalFile(notAFolder, "x"), 0);
  EXPECT_EQ(os::IniWrite(notAFolder + "/fsplugin.ini", "VLK", "baud", "1"), ENOTDIR);
  EXPECT_EQ(os::IniWrite(dir.File("missing/fsplugin.ini"), "VLK", "baud", "1"), ENOENT);
}

TEST(IniFile, AReadOnlyFolderRefusesTheWrite) {
  TestDir dir;
  const std::string file = dir.File("fsplugin.ini");
  ASSERT_EQ(os::IniWrite(file, "VLK", "baud", "1"), 0);
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
  // Folder permissions do not bind the superuser: try as somebody else, in a
  // child process.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    const int refused = os::IniWrite(file, "VLK", "baud", "2");
    const bool kept = os::IniRead(file, "VLK", "baud", "") == "1";
    _exit(refused == EACCES && kept ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IniFile, AWriteLeavesNoTemporaryFilesAndKeepsThePermissions) {
  TestDir dir;
  const std::string file = dir.File("fsplugin.ini");
  ASSERT_EQ(os::WriteLocalFile(file, "[VLK]\n"), 0);
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(os::IniWrite(file, "VLK", "baud", "3"), 0);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(IniFile, OnlyThe64KiBAtItsStartAreReadAndALongerFileIsNotRewritten) {
  TestDir dir;
  const std::string padding = "[pad]\n" + std::string(os::kIniMaxFileSize, ';') + "\n";
  const std::string early = dir.File("early");
  const std::string late = dir.File("late");
  ASSERT_EQ(os::WriteLocalFile(early, "[VLK]\nbaud=5\n" + padding), 0);
  ASSERT_EQ(os::WriteLocalFile(late, padding + "[VLK]\nbaud=5\n"), 0);
  EXPECT_EQ(os::IniRead(early, "VLK", "baud", "1"), "5");
  EXPECT_EQ(os::IniRead(late, "VLK", "baud", "1"), "1");
  EXPECT_EQ(os::IniWrite(late, "VLK", "baud", "9"), EFBIG);
}

TEST(IniFile, AWriteThroughASymbolicLinkKeepsTheLink) {
  TestDir dir;
  const std::string real = dir.File("real.ini");
  const std::string link = dir.File("fsplugin.ini");
  ASSERT_EQ(os::WriteLocalFile(real, "[VLK]\nbaud=1\n"), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_EQ(os::IniWrite(link, "VLK", "baud", "9"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(os::IniRead(real, "VLK", "baud", ""), "9");
}

}  // namespace
