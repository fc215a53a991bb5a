// The options dialog's handlers, driven directly without a screen, against a
// settings file in a folder of the test's own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "dialog/Unit2.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/velk-dialog-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    settings_ = (folder_ / "fsplugin.ini").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  static TPortLister Ports(TStrings ports) {
    return [ports](TStrings& list) { list = ports; };
  }

  std::string Read(const std::string& key, const std::string& section = "VLK") const {
    return os::IniRead(settings_, section, key, "<missing>");
  }

  std::string FileText() const {
    std::ifstream in(settings_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path folder_;
  std::string settings_;
  std::string portName_ = "COM9";
  std::int32_t baud_ = 13;  // the stored index: 115200
};

// Indices of the description handed to the presentation.
int IndexOf(const os::DialogForm& form, const std::string& name) {
  for (std::size_t i = 0; i < form.controls.size(); ++i) {
    if (form.controls[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

TEST_F(OptionsDialog, MissingConfiguredPortIsAppendedAndWrittenBackUnchanged) {
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1", "COM3"}));
  form.FormShow();
  EXPECT_EQ(form.combo.Items(), (TStrings{"COM1", "COM3", "COM9"}));
  EXPECT_EQ(form.combo.ItemIndex(), 2);
  EXPECT_EQ(form.ComComboBox1.ItemIndex(), 13);

  EXPECT_TRUE(form.HandleEvent({os::DialogEventKind::OkClicked, IndexOf(form.Describe(), "Button1"), -1}));
  EXPECT_EQ(form.ModalResult, mrOk);
  EXPECT_EQ(portName_, "COM9");
  EXPECT_EQ(Read("velkport"), "COM9");
  EXPECT_EQ(Read("baud"), "13");
}

TEST_F(OptionsDialog, RateListOpensAtTheStoredIndexSoThatOkKeepsIt) {
  struct Case {
    std::int32_t stored;
    int selected;      // as the port would use it: the low 8 bits
    const char* written;
  } cases[] = {{13, 13, "13"}, {0, 0, "0"}, {16, 16, "16"}, {257, 1, "1"}, {17, -1, "-1"}, {-1, -1, "-1"}};
  for (const Case& c : cases) {
    TForm2 form(portName_, c.stored, settings_, 96, Ports({"COM9"}));
    form.FormShow();
    EXPECT_EQ(form.ComComboBox1.ItemIndex(), c.selected) << c.stored;
    form.Button1Click();
    EXPECT_EQ(Read("baud"), c.written) << c.stored;
  }
}

TEST_F(OptionsDialog, ConfiguredPortIsFoundIgnoringCase) {
  portName_ = "com3";
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1", "COM3"}));
  form.FormShow();
  EXPECT_EQ(form.combo.Items(), (TStrings{"COM1", "COM3"}));
  EXPECT_EQ(form.combo.ItemIndex(), 1);
  form.Button1Click();
  EXPECT_EQ(portName_, "COM3");
  EXPECT_EQ(Read("velkport"), "COM3");
}

TEST_F(OptionsDialog, EmptyPortNameIsNotAppended) {
  portName_.clear();
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1"}));
  form.FormShow();
  EXPECT_EQ(form.combo.Items(), (TStrings{"COM1"}));
  EXPECT_EQ(form.combo.ItemIndex(), -1);
  form.Button1Click();
  EXPECT_EQ(form.ModalResult, mrOk);
  EXPECT_EQ(Read("velkport"), "");
  EXPECT_EQ(Read("baud"), "13");
}

TEST_F(OptionsDialog, OkStoresTheChosenEntries) {
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1", "COM3"}));
  form.FormShow();
  const os::DialogForm description = form.Describe();
  const int ports = IndexOf(description, "combo");
  const int rates = IndexOf(description, "ComComboBox1");
  EXPECT_FALSE(form.HandleEvent({os::DialogEventKind::SelectionChanged, ports, 0}));
  EXPECT_FALSE(form.HandleEvent({os::DialogEventKind::SelectionChanged, rates, 7}));
  EXPECT_EQ(portName_, "COM9");  // choosing alone stores nothing
  EXPECT_FALSE(fs::exists(settings_));

  EXPECT_TRUE(form.HandleEvent({os::DialogEventKind::OkClicked, 0, -1}));
  EXPECT_EQ(portName_, "COM1");
  EXPECT_EQ(Read("velkport"), "COM1");
  EXPECT_EQ(Read("baud"), "7");
}

TEST_F(OptionsDialog, CloseBoxStoresNothing) {
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1", "COM3"}));
  form.FormShow();
  form.HandleEvent({os::DialogEventKind::SelectionChanged, IndexOf(form.Describe(), "combo"), 1});
  EXPECT_TRUE(form.HandleEvent({os::DialogEventKind::Closed, -1, -1}));
  EXPECT_NE(form.ModalResult, mrOk);
  EXPECT_EQ(portName_, "COM9");
  EXPECT_FALSE(fs::exists(settings_));
}

TEST_F(OptionsDialog, RefusedWriteShowsTheMessageAndKeepsTheDialogOpen) {
  // A file stands where the settings folder would be made.
  std::ofstream(folder_ / "blocked") << "";
  settings_ = (folder_ / "blocked" / "fsplugin.ini").string();
  TForm2 form(portName_, baud_, settings_, 96, Ports({"COM1", "COM3"}));
  std::vector<std::string> shown;
  form.ReportError = [&](const std::string& message) { shown.push_back(message); };
  form.FormShow();
  form.HandleEvent({os::DialogEventKind::SelectionChanged, IndexOf(form.Describe(), "combo"), 1});

  EXPECT_FALSE(form.HandleEvent({os::DialogEventKind::OkClicked, 0, -1}));
  EXPECT_EQ(form.ModalResult, mrNone);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Unable to write to " + settings_);
  EXPECT_EQ(portName_, "COM3");  // taken before the write
  EXPECT_FALSE(fs::exists(settings_));

  // Once the folder can be made the same dialog can still store and close.
  fs::remove(folder_ / "blocked");
  EXPECT_TRUE(form.HandleEvent({os::DialogEventKind::OkClicked, 0, -1}));
  EXPECT_EQ(Read("velkport"), "COM3");
}

TEST_F(OptionsDialog, OkKeepsOtherKeysAndSections) {
  {
    std::ofstream out(settings_);
    out << "[Other]\nkey=value\n[VLK]\nvelkport=COM1\nextra=kept\nbaud=3\n[Last]\nz=1\n";
  }
  TForm2 form(portName_, 3, settings_, 96, Ports({"COM1", "COM3"}));
  form.FormShow();
  form.Button1Click();
  EXPECT_EQ(Read("velkport"), "COM9");
  EXPECT_EQ(Read("baud"), "3");
  EXPECT_EQ(Read("extra"), "kept");
  EXPECT_EQ(Read("key", "Other"), "value");
  EXPECT_EQ(Read("z", "Last"), "1");
  const std::string text = FileText();
  EXPECT_LT(text.find("[Other]"), text.find("[VLK]"));
  EXPECT_LT(text.find("[VLK]"), text.find("[Last]"));
}

TEST_F(OptionsDialog, FailedPortListingOpensWithTheConfiguredPortOnly) {
  TForm2 form(portName_, baud_, settings_, 96,
              [](TStrings&) { throw EComPort(kMsgRegistryError, 5); });
  form.FormShow();
  EXPECT_EQ(form.combo.Items(), (TStrings{"COM9"}));
  EXPECT_EQ(form.combo.ItemIndex(), 0);
  EXPECT_EQ(form.ComComboBox1.ItemIndex(), 13);
  form.Button1Click();
  EXPECT_EQ(Read("velkport"), "COM9");
}

TEST(OptionsDialogLayout, FormCreateScalesByPixelsPerInchRoundingHalvesToEven) {
  EXPECT_EQ(ScaleByPixelsPerInch(336, 96), 336);
  EXPECT_EQ(ScaleByPixelsPerInch(258, 144), 387);
  EXPECT_EQ(ScaleByPixelsPerInch(258, 120), 322);  // 322.5
  EXPECT_EQ(ScaleByPixelsPerInch(258, 72), 194);   // 193.5
  EXPECT_EQ(ScaleByPixelsPerInch(10, 100), 10);    // 10.42

  std::string port = "COM1";
  for (auto [ppi, width, height] : {std::tuple{96, 336, 258}, {144, 504, 387}, {120, 420, 322}}) {
    TForm2 form(port, 15, "unused.ini", ppi, [](TStrings& list) { list = {"COM1"}; });
    EXPECT_EQ(form.Width, width) << ppi;
    EXPECT_EQ(form.Height, height) << ppi;
    EXPECT_EQ(form.Button1.Bounds.Left, 256) << "controls are not scaled";
  }
}

TEST(OptionsDialogLayout, DescriptionFollowsTheLayoutTable) {
  std::string port = "COM1";
  TForm2 form(port, 15, "unused.ini", 96, [](TStrings& list) { list = {"COM1", "COM2"}; });
  form.FormShow();
  const os::DialogForm d = form.Describe();
  EXPECT_EQ(d.caption, "Options ");
  EXPECT_EQ(d.width, 336);
  EXPECT_EQ(d.height, 258);
  EXPECT_EQ(d.fontName, "Tahoma");
  EXPECT_EQ(d.fontHeight, 11);

  struct Expected {
    const char* name;
    os::DialogControlKind kind;
    int left, top, width, height;
    bool visible;
    const char* parent;
    int tabOrder;
  };
  using K = os::DialogControlKind;
  const Expected table[] = {
      {"Button1", K::Button, 256, 193, 65, 23, true, nullptr, 0},
      {"Label1", K::Label, 8, 8, 0, 0, true, nullptr, -1},
      {"Label2", K::Label, 8, 24, 0, 0, true, nullptr, -1},
      {"GroupBox1", K::GroupBox, 8, 120, 313, 57, true, nullptr, 1},
      {"CheckBox2", K::CheckBox, 256, 24, 49, 17, false, "GroupBox1", -1},
      {"CheckBox1", K::CheckBox, 200, 24, 49, 17, false, "GroupBox1", -1},
      {"ComComboBox1", K::DropDownList, 104, 20, 89, 21, true, "GroupBox1", 2},
      {"combo", K::DropDownList, 8, 20, 89, 21, true, "GroupBox1", 3},
      {"Label3", K::LinkLabel, 16, 72, 0, 0, true, nullptr, -1},
  };
  ASSERT_EQ(d.controls.size(), std::size(table));
  for (std::size_t i = 0; i < std::size(table); ++i) {
    const Expected& e = table[i];
    const os::DialogControl& c = d.controls[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(c.name, e.name);
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(c.left, e.left);
    EXPECT_EQ(c.top, e.top);
    EXPECT_EQ(c.width, e.width);
    EXPECT_EQ(c.height, e.height);
    EXPECT_EQ(c.visible, e.visible);
    EXPECT_EQ(c.parent, e.parent ? IndexOf(d, e.parent) : -1);
    EXPECT_EQ(c.tabOrder, e.tabOrder);
  }
  EXPECT_EQ(d.controls[0].caption, "OK");
  EXPECT_EQ(d.controls[1].caption, "Velk Mobile Plugin for Qualcomm and BREW based cell phones");
  EXPECT_NE(d.controls[2].caption.find("0.1.0"), std::string::npos);
  EXPECT_EQ(d.controls[3].caption, "Velk port settings");
  EXPECT_EQ(d.controls[4].caption, "RTS");
  EXPECT_TRUE(d.controls[4].checked);
  EXPECT_EQ(d.controls[5].caption, "DTR");
  EXPECT_TRUE(d.controls[5].checked);
  EXPECT_EQ(d.controls[6].items.size(), 17u);
  EXPECT_EQ(d.controls[6].selected, 15);
  EXPECT_EQ(d.controls[7].items, (TStrings{"COM1", "COM2"}));
  EXPECT_EQ(d.controls[7].selected, 0);
  EXPECT_EQ(d.controls[8].caption.rfind("https://", 0), 0u);
}

TEST(OptionsDialogLayout, ChoosersAreBoundToNoPort) {
  std::string port = "COM1";
  TForm2 form(port, 15, "unused.ini", 96, [](TStrings&) {});
  EXPECT_EQ(form.ComComboBox1.ComPort(), nullptr);
  EXPECT_EQ(form.combo.ComPort(), nullptr);
  EXPECT_FALSE(form.ComComboBox1.AutoApply());
  EXPECT_FALSE(form.combo.AutoApply());
}

}  // namespace
