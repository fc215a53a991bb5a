// The options dialog: the port name and baud rate of the phone's port, stored
// in the settings file by OK.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/dialog.h"
#include "serial/CPortCtl.h"

struct TBounds {
  int Left = 0;
  int Top = 0;
  int Width = 0;  // 0 for a label: sized to its text
  int Height = 0;
};

struct TControl {
  std::string Caption;
  TBounds Bounds;
  bool Visible = true;
  int TabOrder = -1;  // -1: no tab stop
};

struct TButton : TControl {};
struct TGroupBox : TControl {};
struct TCheckBox : TControl {
  bool Checked = false;
};
struct TLabel : TControl {
  bool IsLink = false;  // blue text and a hand cursor
};
// A chooser with its place in the form. The dialog's choosers are bound to
// no port: the chosen entries go to the settings file.
struct TPlacedComboBox : TComComboBox {
  TBounds Bounds;
  int TabOrder = -1;
};

enum TModalResult { mrNone, mrOk, mrCancel };

inline const char* const kVersionText = "0.1.0";

class TForm2 : public os::DialogModel {
 public:
  // `portName` is the plug-in's PortName, changed by OK; `baudIndex` the
  // stored baud-rate index the rate list opens at; `listPorts` supplies the
  // port list (the machine's ports by default).
  TForm2(std::string& portName, std::int32_t baudIndex, std::string settingsPath,
         int pixelsPerInch = 96, TPortLister listPorts = EnumeratePorts);

  // Controls, in their order of declaration.
  TButton Button1;
  TLabel Label1;
  TLabel Label2;
  TGroupBox GroupBox1;
  TCheckBox CheckBox2;
  TCheckBox CheckBox1;
  TPlacedComboBox ComComboBox1;
  TPlacedComboBox combo;
  TLabel Label3;

  std::string Caption = "Options ";
  int Width = 336;
  int Height = 258;
  int PixelsPerInch;
  TModalResult ModalResult = mrNone;
  // Shows a failure of a handler to the user; a message box by default.
  std::function<void(const std::string& message)> ReportError;
  // Whether a port name typed into the port list names a serial device.
  std::function<bool(const std::string& portName)> PortExists = os::SerialPortExists;

  void FormCreate();
  void FormShow();
  void Label3Click();
  void Button1Click();
  // The close box or the system's close command.
  void Close();

  // A name typed into a list: a port that exists joins the port list, a rate
  // of the table is chosen; anything else is refused with the reason.
  void TextEntered(int control, const std::string& text);

  os::DialogForm Describe() const override;
  bool HandleEvent(const os::DialogEvent& event) override;
  std::string ClosingNote() const override;

 private:
  std::string& portName_;
  std::int32_t baudIndex_;
  std::string settingsPath_;
};

// Scales a design size by pixelsPerInch / 96, rounding halves to even.
int ScaleByPixelsPerInch(int size, int pixelsPerInch);

// The options as two text questions of a host that shows its own dialogs: the
// port, naming the ports found, then the baud rate, each prefilled with the
// current value. An answer that names no port or no rate of the table is
// asked again with the reason; Cancel on either stores nothing.
struct TOptionsQuestions {
  // Shows `text` with `answer` prefilled; false for Cancel.
  std::function<bool(const std::string& text, std::string& answer)> Ask;
  std::function<void(const std::string& message)> ReportError;
  TPortLister ListPorts = EnumeratePorts;
  // Whether a serial device answers to a name that is not in the list.
  std::function<bool(const std::string& portName)> PortExists = os::SerialPortExists;
};
// Returns 1 when both questions were answered and stored (then `portName`
// holds the new port), 0 otherwise; never throws for a failed port listing.
int AskOptions(std::string& portName, std::int32_t baudIndex, const std::string& settingsPath,
               const TOptionsQuestions& host);

// Shows the options dialog modally. Returns 1 when it was closed with OK, 0
// otherwise, also when there is no way to show it; never throws.
int RunOptionsDialog(std::string& portName, std::int32_t baudIndex, const std::string& settingsPath,
                     const TPortLister& listPorts = EnumeratePorts);
