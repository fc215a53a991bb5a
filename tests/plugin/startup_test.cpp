// Start-up's settings and the opening of the phone's port.
#include <filesystem>
#include <fstream>

#include "tests/plugin/PluginFixture.h"

namespace fs = std::filesystem;

namespace {

class StartupTest : public PluginFixture {
 protected:
  void TearDown() override {
    fs::remove(SettingsPath());
    PluginFixture::TearDown();
  }
  static void WriteSettings(const std::string& body) { std::ofstream(SettingsPath()) << body; }
};

TEST_F(StartupTest, SettingsFileBesideTheProgram) {
  EXPECT_EQ(SettingsPath(), os::ExecutableDir() + "fsplugin.ini");
  fs::remove(SettingsPath());
  LoadSettings();
  EXPECT_EQ(State.PortName, "COM1");
  EXPECT_EQ(State.BaudIndex, 1);

  struct Case {
    const char* baud;
    std::int32_t index;
  } cases[] = {{"13", 13}, {"$0F", 15}, {"0x0F", 15}, {"0X0f", 15}, {"abc", 1}, {"", 1}, {"257", 257}, {"-1", -1}};
  for (const auto& c : cases) {
    WriteSettings(std::string("[other]\nbaud=7\n[vlk]\nVelkPort = COM3\nBAUD=") + c.baud + "\n");
    LoadSettings();
    EXPECT_EQ(State.PortName, "COM3");
    EXPECT_EQ(State.BaudIndex, c.index) << c.baud;
  }
}

TEST_F(StartupTest, OpeningUsesTheLowBitsOfTheBaudIndex) {
  State.BaudIndex = 257;
  EXPECT_TRUE(OpenPhonePort());
  EXPECT_EQ(State.PortWrapper->Port().BaudRate(), br110);
  State.BaudIndex = 17;
  EXPECT_FALSE(OpenPhonePort()) << "no such rate";
  State.BaudIndex = 13;
  State.PortName = "other";
  EXPECT_TRUE(OpenPhonePort());
  EXPECT_EQ(State.PortWrapper->Port().Port(), "fake") << "an open port keeps its name";
  EXPECT_EQ(State.PortWrapper->Port().BaudRate(), br115200) << "but takes the rate at once";
}

TEST_F(StartupTest, PortThatCannotOpenLeavesItClosed) {
  DestroyPluginObjects();
  os::SetSerialOpenerForTesting([](const std::string&, int* error) {
    *error = 2;
    return std::unique_ptr<os::SerialDevice>();
  });
  CreatePluginObjects();
  EXPECT_FALSE(OpenPhonePort());
  EXPECT_FALSE(State.PortWrapper->Port().Connected());
  DestroyPluginObjects();
  EXPECT_EQ(State.PortWrapper, nullptr);
  EXPECT_EQ(State.CommandTimer, nullptr);
  EXPECT_EQ(State.DownloadTimer, nullptr);
  EXPECT_EQ(State.UploadTimer, nullptr);
}

}  // namespace
