// Presentation of a modal dialog: the dialog's logic describes its form and
// controls, the presentation shows them and reports what the user did.
// dialog_win32.cpp shows a real modal window, dialog_posix.cpp a dialog on
// the controlling terminal.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace os {

enum class DialogControlKind { Button, Label, LinkLabel, GroupBox, CheckBox, DropDownList };

struct DialogControl {
  DialogControlKind kind = DialogControlKind::Label;
  std::string name;     // the control's name in the dialog's logic
  // Button, label, group box and check box text; for a drop-down list a title
  // that only a presentation without a form layout (the terminal) shows.
  std::string caption;
  // Place in pixels; for a control inside a group box relative to the box.
  int left = 0;
  int top = 0;
  int width = 0;   // 0 for a label: sized to its text
  int height = 0;  // 0 for a label: sized to its text
  bool visible = true;
  bool checked = false;
  int parent = -1;     // index of the group box holding it, -1 for the form
  int tabOrder = -1;   // -1: no tab stop
  std::vector<std::string> items;  // drop-down list entries
  int selected = -1;               // drop-down list selection, -1 for none
  // The number of a list's first entry where a presentation numbers them.
  int firstNumber = 1;
};

struct DialogForm {
  std::string caption;
  int width = 0;   // outer size of the window
  int height = 0;
  std::string fontName;
  int fontHeight = 0;  // character height in pixels
  std::vector<DialogControl> controls;
};

// TextEntered: text typed into a drop-down list that names none of its
// entries (a presentation that lets the user type, such as the terminal).
enum class DialogEventKind { OkClicked, Closed, LabelClicked, SelectionChanged, TextEntered };

struct DialogEvent {
  DialogEvent(DialogEventKind kind = DialogEventKind::Closed, int control = -1, int selected = -1,
              std::string text = std::string())
      : kind(kind), control(control), selected(selected), text(std::move(text)) {}
  DialogEventKind kind = DialogEventKind::Closed;
  int control = -1;   // index into DialogForm::controls
  int selected = -1;  // SelectionChanged: the new position
  std::string text;   // TextEntered: what was typed
};

// The dialog's logic as the presentation sees it.
class DialogModel {
 public:
  virtual ~DialogModel() = default;
  virtual DialogForm Describe() const = 0;
  // Returns true when the dialog is to close.
  virtual bool HandleEvent(const DialogEvent& event) = 0;
  // What a presentation that leaves no window behind (the terminal) shows
  // once the dialog has closed, such as where OK stored the settings.
  virtual std::string ClosingNote() const { return std::string(); }
};

// Shows the dialog modally until HandleEvent asks to close it. Returns false
// at once, showing nothing, when there is no way to show a dialog (Linux: no
// controlling terminal).
bool ShowModalDialog(DialogModel& model);

// Pixels per inch of the screen the dialog appears on (96 where the system
// has no such notion).
int ScreenPixelsPerInch();

// Orders two texts ignoring case, in the user's locale order where the system
// has one; <0, 0 or >0.
int CompareTextIgnoreCase(const std::string& a, const std::string& b);

}  // namespace os
