// Runs in a folder that holds locale/de/LC_MESSAGES/velktest.mo beside the
// program, where Translate looks for catalogues.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "platform/platform.h"

namespace {

TEST(Translate, UsesTheCatalogueBesideTheModule) {
  ASSERT_TRUE(os::FileExists(os::ModuleDir() + "locale/de/LC_MESSAGES/velktest.mo"));
  // C.UTF-8 is no "C" for gettext here, so LANGUAGE picks the language.
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  setenv("LANGUAGE", "de", 1);
  EXPECT_EQ(os::Translate("velktest", "Unable to open com port"),
            "Schnittstelle kann nicht geöffnet werden");
  EXPECT_EQ(os::Translate("velktest", "Registry error"), "Registry error");  // no translation
  EXPECT_EQ(os::Translate("velk-no-such-domain", "Unable to open com port"),
            "Unable to open com port");
}

}  // namespace
