// Runs the plug-in's objects in the test process against a FakeDevice, on the
// platform's manual clock: idle limits pass without a real wait.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "phone/LinkDriver.h"
#include "phone/PluginState.h"
#include "tests/phone/FakeDevice.h"

class PluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    os::SetSerialOpenerForTesting([this](const std::string&, int*) {
      auto device = std::make_unique<FakeDevice>();
      device_ = device.get();
      return device;
    });
    Ui.MessageBox = [this](const std::string& text, const std::string&, unsigned) {
      messages_.push_back(text);
      return answer_;
    };
    Ui.MessageBeep = [this](unsigned) { ++beeps_; };
    Ui.Beep = [](unsigned, unsigned) {};
    os::UseManualClockForTesting(true);
    State = PluginState{};  // every test starts from a freshly loaded module
    State.PortName = "fake";
    State.BaudIndex = 7;
    CreatePluginObjects();
    ASSERT_TRUE(OpenPhonePort());
  }

  void TearDown() override {
    DestroyPluginObjects();
    os::UseManualClockForTesting(false);
    os::SetSerialOpenerForTesting(nullptr);
    Ui = UserInterface();
  }

  FakeDevice& device() { return *device_; }

  FakeDevice* device_ = nullptr;
  std::vector<std::string> messages_;
  int answer_ = os::kIdNo;
  int beeps_ = 0;
};
