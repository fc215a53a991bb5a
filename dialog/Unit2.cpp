#include "dialog/Unit2.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/platform.h"
#include "settings/Settings.h"

namespace {

const char* const kErrorCaption = "Error";

// Positions of the controls in the description handed to the presentation.
enum ControlIndex : int {
  kButton1, kLabel1, kLabel2, kGroupBox1, kCheckBox2, kCheckBox1, kComComboBox1, kCombo, kLabel3,
};

os::DialogControl Describe(os::DialogControlKind kind, const char* name, const TControl& control) {
  os::DialogControl out;
  out.kind = kind;
  out.name = name;
  out.caption = control.Caption;
  out.left = control.Bounds.Left;
  out.top = control.Bounds.Top;
  out.width = control.Bounds.Width;
  out.height = control.Bounds.Height;
  out.visible = control.Visible;
  out.tabOrder = control.TabOrder;
  return out;
}

os::DialogControl Describe(const char* name, const char* title, const TPlacedComboBox& list) {
  os::DialogControl out;
  out.kind = os::DialogControlKind::DropDownList;
  out.name = name;
  out.caption = title;
  out.left = list.Bounds.Left;
  out.top = list.Bounds.Top;
  out.width = list.Bounds.Width;
  out.height = list.Bounds.Height;
  out.parent = kGroupBox1;
  out.tabOrder = list.TabOrder;
  out.items = list.Items();
  out.selected = list.ItemIndex();
  return out;
}

}  // namespace

int ScaleByPixelsPerInch(int size, int pixelsPerInch) {
  const long long product = static_cast<long long>(size) * pixelsPerInch;
  long long quotient = product / 96;
  const long long twiceRemainder = 2 * (product % 96);
  if (twiceRemainder > 96 || (twiceRemainder == 96 && quotient % 2 != 0)) ++quotient;
  return static_cast<int>(quotient);
}

TForm2::TForm2(std::string& portName, std::int32_t baudIndex, std::string settingsPath,
               int pixelsPerInch, TPortLister listPorts)
    : PixelsPerInch(pixelsPerInch),
      portName_(portName),
      baudIndex_(baudIndex),
      settingsPath_(std::move(settingsPath)) {
  Button1.Caption = "OK";
  Button1.Bounds = {256, 193, 65, 23};
  Button1.TabOrder = 0;

  Label1.Caption = "Velk Mobile Plugin for Qualcomm and BREW based cell phones";
  Label1.Bounds = {8, 8, 0, 0};
  Label2.Caption = std::string("Version ") + kVersionText +
                   "\nCopyright (C) the Velk Plugin developers.\n"
                   "Provided as is, without warranty; use at your own risk.";
  Label2.Bounds = {8, 24, 0, 0};

  GroupBox1.Caption = "Velk port settings";
  GroupBox1.Bounds = {8, 120, 313, 57};
  GroupBox1.TabOrder = 1;
  CheckBox2.Caption = "RTS";
  CheckBox2.Bounds = {256, 24, 49, 17};
  CheckBox2.Visible = false;
  CheckBox2.Checked = true;
  CheckBox1.Caption = "DTR";
  CheckBox1.Bounds = {200, 24, 49, 17};
  CheckBox1.Visible = false;
  CheckBox1.Checked = true;

  ComComboBox1.Bounds = {104, 20, 89, 21};
  ComComboBox1.TabOrder = 2;
  ComComboBox1.SetComProperty(cpBaudRate);

  combo.Bounds = {8, 20, 89, 21};
  combo.TabOrder = 3;
  combo.PortLister = std::move(listPorts);
  try {
    combo.SetComProperty(cpPort);
  } catch (const EComPort&) {
    // Without a port list the dialog still opens: FormShow adds the
    // configured port, so OK keeps it.
  }

  Label3.Caption = "https://velk-plugin.example.org/";
  Label3.Bounds = {16, 72, 0, 0};
  Label3.IsLink = true;

  ReportError = [](const std::string& message) {
    os::MessageBox(message, kErrorCaption, os::kMbOk | os::kMbIconError);
  };

  FormCreate();
}

void TForm2::FormCreate() {
  Width = ScaleByPixelsPerInch(Width, PixelsPerInch);
  Height = ScaleByPixelsPerInch(Height, PixelsPerInch);
}

void TForm2::FormShow() {
  combo.SetItemIndex(combo.IndexOf(portName_));
  if (combo.ItemIndex() < 0 && !portName_.empty()) {
    combo.Items().push_back(portName_);
    combo.SetItemIndex(static_cast<int>(combo.Items().size()) - 1);
  }
  // The rate list opens at the rate the port would use, so that OK alone
  // changes nothing.
  const std::optional<TBaudRate> rate = settings::BaudRateOfIndex(baudIndex_);
  ComComboBox1.SetItemIndex(rate ? *rate : -1);
}

void TForm2::Label3Click() { os::ShellOpen(Label3.Caption); }

void TForm2::Button1Click() {
  portName_ = combo.Text();
  if (settings::Write(settingsPath_, portName_, ComComboBox1.ItemIndex()) != 0) {
    ReportError("Unable to write to " + settingsPath_);
    return;
  }
  ModalResult = mrOk;
}

void TForm2::Close() { ModalResult = mrCancel; }

void TForm2::TextEntered(int control, const std::string& text) {
  if (control == kCombo) {
    if (!PortExists(text)) return ReportError("There is no serial port " + text + ".");
    if (combo.IndexOf(text) < 0) combo.Items().push_back(text);
    combo.UserSelect(combo.IndexOf(text));
  } else if (control == kComComboBox1) {
    const auto index = settings::BaudIndexFromText(text);
    if (!index) return ReportError(text + " is not a baud rate of the list.");
    ComComboBox1.UserSelect(*index);
  }
}

std::string TForm2::ClosingNote() const {
  if (ModalResult != mrOk) return std::string();
  return "Settings written to " + settingsPath_ + ": port " + portName_ + ", baud rate " +
         settings::BaudRateText(ComComboBox1.ItemIndex()) + ".";
}

os::DialogForm TForm2::Describe() const {
  using Kind = os::DialogControlKind;
  os::DialogForm form;
  form.caption = Caption;
  form.width = Width;
  form.height = Height;
  form.fontName = "Tahoma";
  form.fontHeight = 11;
  form.controls.resize(kLabel3 + 1);
  form.controls[kButton1] = ::Describe(Kind::Button, "Button1", Button1);
  form.controls[kLabel1] = ::Describe(Kind::Label, "Label1", Label1);
  form.controls[kLabel2] = ::Describe(Kind::Label, "Label2", Label2);
  form.controls[kGroupBox1] = ::Describe(Kind::GroupBox, "GroupBox1", GroupBox1);
  form.controls[kCheckBox2] = ::Describe(Kind::CheckBox, "CheckBox2", CheckBox2);
  form.controls[kCheckBox2].checked = CheckBox2.Checked;
  form.controls[kCheckBox2].parent = kGroupBox1;
  form.controls[kCheckBox1] = ::Describe(Kind::CheckBox, "CheckBox1", CheckBox1);
  form.controls[kCheckBox1].checked = CheckBox1.Checked;
  form.controls[kCheckBox1].parent = kGroupBox1;
  form.controls[kComComboBox1] = ::Describe("ComComboBox1", "Baud rate", ComComboBox1);
  // Numbered by index, as the settings file stores the rate.
  form.controls[kComComboBox1].firstNumber = 0;
  form.controls[kCombo] = ::Describe("combo", "Port", combo);
  form.controls[kLabel3] = ::Describe(Kind::LinkLabel, "Label3", Label3);
  return form;
}

bool TForm2::HandleEvent(const os::DialogEvent& event) {
  switch (event.kind) {
    case os::DialogEventKind::OkClicked:
      Button1Click();
      return ModalResult == mrOk;
    case os::DialogEventKind::Closed:
      Close();
      return true;
    case os::DialogEventKind::LabelClicked:
      if (event.control == kLabel3) Label3Click();
      return false;
    case os::DialogEventKind::SelectionChanged:
      if (event.control == kComComboBox1) ComComboBox1.UserSelect(event.selected);
      if (event.control == kCombo) combo.UserSelect(event.selected);
      return false;
    case os::DialogEventKind::TextEntered:
      TextEntered(event.control, event.text);
      return false;
  }
  return false;
}

int RunOptionsDialog(std::string& portName, std::int32_t baudIndex, const std::string& settingsPath,
                     const TPortLister& listPorts) {
  try {
    TForm2 form(portName, baudIndex, settingsPath, os::ScreenPixelsPerInch(), listPorts);
    form.FormShow();
    if (!os::ShowModalDialog(form)) return 0;
    return form.ModalResult == mrOk ? 1 : 0;
  } catch (...) {
    // The dialog runs inside the host's call; nothing may escape to it.
    return 0;
  }
}

namespace {

std::string WithoutBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Listed(const TStrings& names) {
  if (names.empty()) return "none";
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// Asks `question` until `check` finds no fault in the answer (it returns the
// reason otherwise); false for Cancel.
bool AskUntilValid(const TOptionsQuestions& host, const std::string& question, std::string& answer,
                   const std::function<std::string(const std::string&)>& check) {
  std::string reason;
  for (;;) {
    if (!host.Ask(reason.empty() ? question : reason + "\n" + question, answer)) return false;
    answer = WithoutBlanks(answer);
    reason = check(answer);
    if (reason.empty()) return true;
  }
}

}  // namespace

int AskOptions(std::string& portName, std::int32_t baudIndex, const std::string& settingsPath,
               const TOptionsQuestions& host) {
  TStrings found;
  try {
    host.ListPorts(found);
  } catch (const EComPort&) {
    found.clear();  // a port can still be named
  }
  std::string port = portName;
  const bool portGiven = AskUntilValid(host, "Serial port (found: " + Listed(found) + ")", port,
                                       [&](const std::string& name) -> std::string {
    if (name.empty()) return "Please name a serial port.";
    if (std::find(found.begin(), found.end(), name) != found.end() || host.PortExists(name)) return "";
    return "There is no serial port " + name + ".";
  });
  if (!portGiven) return 0;

  TStrings rates;
  for (std::int32_t index = 1; index < kBaudRateCount; ++index) rates.push_back(settings::BaudRateText(index));
  const std::optional<TBaudRate> stored = settings::BaudRateOfIndex(baudIndex);
  std::string rate = stored ? BaudRateToText(*stored) : std::string();
  std::int32_t chosen = 0;
  const bool rateGiven = AskUntilValid(host, "Baud rate (" + Listed(rates) + ")", rate,
                                       [&](const std::string& text) -> std::string {
    const auto index = settings::BaudIndexFromText(text);
    if (!index) return text + " is not a baud rate of the list.";
    chosen = *index;
    return "";
  });
  if (!rateGiven) return 0;

  if (settings::Write(settingsPath, port, chosen) != 0) {
    host.ReportError("Unable to write to " + settingsPath);
    return 0;
  }
  portName = port;
  return 1;
}
