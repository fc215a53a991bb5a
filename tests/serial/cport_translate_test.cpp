// The port layer's texts go through the "cport" catalogue once, while the
// program loads. This program runs from a folder with
// locale/de/LC_MESSAGES/cport.mo beside it.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "serial/CPort.h"

namespace {

// The host chooses its language before it loads the module: here that has
// to happen before any other initialisation of this program. (C.UTF-8 is no
// "C" for gettext, so LANGUAGE picks the language.)
__attribute__((constructor(101))) void ChooseGermanBeforeLoading() {
  setenv("LANGUAGE", "de", 1);
  std::setlocale(LC_ALL, "C.UTF-8");
}

TEST(PortMessages, AreTranslatedAtLoad) {
  ASSERT_TRUE(os::FileExists(os::ModuleDir() + "locale/de/LC_MESSAGES/cport.mo"));
  EXPECT_EQ(ComPortMessage(1), "Schnittstelle kann nicht geöffnet werden");
  EXPECT_EQ(ComPortMessage(23), "Registrierungsfehler");
  EXPECT_EQ(ComPortMessage(2), "WriteFile function failed");  // no translation: as it is
  EXPECT_STREQ(EComPort(kMsgOpenFailed, 2).what(),
               "Schnittstelle kann nicht geöffnet werden (Fehlercode: 2)");
  EXPECT_STREQ(EComPort(kMsgConnectedProperty, -1).what(), "Cannot set property while connected");
}

TEST(PortMessages, AreNotLookedUpAgainLater) {
  // Changing the language after load changes nothing: the texts were taken once.
  setenv("LANGUAGE", "en", 1);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(ComPortMessage(1), "Schnittstelle kann nicht geöffnet werden");
}

TEST(PortMessages, AMissingDeviceIsReportedInTheTranslatedText) {
  TComPort port;
  port.SetPort("/dev/velk-no-such-port");
  try {
    port.Open();
    FAIL() << "opened a missing device";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Schnittstelle kann nicht geöffnet werden (Fehlercode: 2)");
  }
}

}  // namespace
