// Start-up's settings and the opening of the phone's port.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "settings/Settings.h"
#include "tests/platform/test_dir.h"
#include "tests/phone/PluginFixture.h"

namespace fs = std::filesystem;

namespace {

class StartupTest : public PluginFixture {
 protected:
  void SetUp() override {
    PluginFixture::SetUp();
    SetEnv("XDG_CONFIG_HOME", configHome_.Path().c_str());
  }
  void TearDown() override {
    fs::remove(settings::BesideHostPath());
    for (const auto& [name, value] : savedEnv_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    PluginFixture::TearDown();
  }
  void SetEnv(const std::string& name, const char* value) {
    if (!savedEnv_.count(name)) {
      const char* old = getenv(name.c_str());
      savedEnv_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  static void WriteSettings(const std::string& body) { std::ofstream(settings::BesideHostPath()) << body; }

  TestDir configHome_;
  std::map<std::string, std::optional<std::string>> savedEnv_;
};

TEST_F(StartupTest, SettingsFileBesideTheProgram) {
  EXPECT_EQ(settings::BesideHostPath(), os::ExecutableDir() + "fsplugin.ini");
  EXPECT_EQ(settings::ReadPath(), settings::BesideHostPath()) << "no user file";
  fs::remove(settings::BesideHostPath());
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

TEST_F(StartupTest, TheUserFileIsReadFirstAndTakesEveryWrite) {
  const std::string home = configHome_.Path();
  struct Case {
    const char* configHome;  // nullptr: unset
    const char* home;
    std::string userFile;    // empty: none, the file beside the program serves
  } cases[] = {
      {"/cfg", "/home/u", "/cfg/velk-plugin/fsplugin.ini"},
      {nullptr, "/home/u", "/home/u/.config/velk-plugin/fsplugin.ini"},
      {"relative", "/home/u", "/home/u/.config/velk-plugin/fsplugin.ini"},
      {nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    SetEnv("XDG_CONFIG_HOME", c.configHome);
    SetEnv("HOME", c.home);
    EXPECT_EQ(settings::UserPath(), c.userFile) << (c.configHome ? c.configHome : "(unset)");
    EXPECT_EQ(settings::WritePath(), c.userFile.empty() ? settings::BesideHostPath() : c.userFile);
  }

  SetEnv("XDG_CONFIG_HOME", nullptr);
  SetEnv("HOME", home.c_str());
  WriteSettings("[VLK]\nvelkport=COM3\nbaud=13\n");
  const std::string user = home + "/.config/velk-plugin/fsplugin.ini";
  EXPECT_EQ(settings::Write(settings::WritePath(), std::string("ttyUSB0"), 7), 0) << "makes the folders";
  EXPECT_EQ(settings::ReadPath(), user);
  LoadSettings();
  EXPECT_EQ(State.PortName, "ttyUSB0");
  EXPECT_EQ(State.BaudIndex, 7);
  EXPECT_EQ(os::IniRead(settings::BesideHostPath(), "VLK", "velkport", ""), "COM3") << "left alone";
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
