// A modal dialog on the controlling terminal: the form's texts, its
// drop-down lists with their selections, its buttons and links, top to
// bottom as the form shows them. It opens on the first list; Down and Tab go
// to the next field below, Up and Shift-Tab to the one above; Left/Right
// change a list's selection; text typed on a list (an entry's number, its
// text, or a name the list lacks) is shown in its line and taken by Enter;
// Enter on a list without typing goes on to the next field, on a button
// presses it, on a link opens it; Esc (and q off the lists) closes.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog.h"
#include "platform/platform.h"

namespace os {

namespace {

// Longest pause inside an escape sequence of a key; a lone Esc is followed by
// nothing within it.
constexpr int kEscapeSequenceMs = 100;
// How often the loop runs the port layer's hand-overs while waiting for a key.
constexpr int kHandOverPollMs = 100;
// Long enough for a device path.
constexpr std::size_t kLongestTyped = 64;

enum class Key { None, Next, Previous, Left, Right, Enter, Close, Char, Backspace };

struct KeyPress {
  Key key = Key::None;
  char typed = 0;  // Key::Char: the character; 'q' also closes off the lists
};

class Terminal {
 public:
  explicit Terminal(int fd) : fd_(fd) {}
  ~Terminal() {
    if (raw_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    close(fd_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // A job in the background that changed the terminal's modes would be
  // stopped by the system; it refuses instead.
  bool InForeground() const { return tcgetpgrp(fd_) == getpgrp(); }

  bool EnterRawMode() {
    if (tcgetattr(fd_, &saved_) != 0) return false;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSAFLUSH, &raw) != 0) return false;
    raw_ = true;
    return true;
  }

  // The dialog's logic may write to the terminal itself (a message box), so
  // it runs with the terminal as the user had it.
  void Suspend() { tcsetattr(fd_, TCSADRAIN, &saved_); }
  void Resume() { EnterRawMode(); }

  void Write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Waits at most `timeoutMs` for a byte; false on time-out or end of input.
  bool ReadByte(int timeoutMs, char* byte, bool* ended) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready <= 0) return false;
    if (read(fd_, byte, 1) != 1) {
      *ended = true;
      return false;
    }
    return true;
  }

  // The next key, or Key::None when none came within kHandOverPollMs.
  KeyPress NextKey(bool* ended) {
    char c = 0;
    if (!ReadByte(kHandOverPollMs, &c, ended)) return {};
    switch (c) {
      case '\t': return {Key::Next};
      case '\r': case '\n': return {Key::Enter};
      case 3: return {Key::Close};
      case 127: case 8: return {Key::Backspace};
      case 27: return EscapeSequence(ended);
      default: break;
    }
    if (c >= ' ' && c <= '~') return {Key::Char, c};
    return {};
  }

 private:
  KeyPress EscapeSequence(bool* ended) {
    char c = 0;
    if (!ReadByte(kEscapeSequenceMs, &c, ended)) return {Key::Close};
    if (c != '[' && c != 'O') return {};
    if (!ReadByte(kEscapeSequenceMs, &c, ended)) return {};
    switch (c) {
      case 'A': return {Key::Previous};
      case 'B': return {Key::Next};
      case 'C': return {Key::Right};
      case 'D': return {Key::Left};
      case 'Z': return {Key::Previous};
      default: return {};
    }
  }

  int fd_;
  termios saved_{};
  bool raw_ = false;
};

bool Focusable(const DialogControl& control) {
  if (!control.visible) return false;
  if (control.kind == DialogControlKind::LinkLabel) return true;
  return control.tabOrder >= 0 && (control.kind == DialogControlKind::Button ||
                                   control.kind == DialogControlKind::DropDownList);
}

// Top-to-bottom, left-to-right place of a control on the form.
std::pair<int, int> FormPlace(const DialogForm& form, const DialogControl& control) {
  int top = control.top;
  int left = control.left;
  if (control.parent >= 0) {
    top += form.controls[control.parent].top;
    left += form.controls[control.parent].left;
  }
  return {top, left};
}

// Indexes of the controls that pass `keep`, in the order the screen shows them.
std::vector<int> InScreenOrder(const DialogForm& form, bool (*keep)(const DialogControl&)) {
  std::vector<int> order;
  for (int i = 0; i < static_cast<int>(form.controls.size()); ++i) {
    if (keep(form.controls[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return FormPlace(form, form.controls[a]) < FormPlace(form, form.controls[b]);
  });
  return order;
}

std::string ControlLine(const DialogControl& c, const std::string& typed) {
  switch (c.kind) {
    case DialogControlKind::LinkLabel: return c.caption + "  (link: Enter opens)";
    case DialogControlKind::CheckBox: return (c.checked ? "[x] " : "[ ] ") + c.caption;
    case DialogControlKind::Button: return "[ " + c.caption + " ]";
    case DialogControlKind::DropDownList:
      if (!typed.empty()) return c.caption + ": " + typed + "_   (typed; Enter takes it)";
      return c.caption + ": " + (c.selected >= 0 ? c.items[c.selected] : std::string("(none)"));
    default: return c.caption;
  }
}

std::string ListEntries(const DialogControl& list) {
  std::string out = "\r\n  " + list.caption + " entries:\r\n";
  for (std::size_t n = 0; n < list.items.size(); ++n) {
    out += (static_cast<int>(n) == list.selected ? "   *" : "    ") +
           std::to_string(static_cast<int>(n) + list.firstNumber) + ") " + list.items[n] + "\r\n";
  }
  if (list.items.empty()) out += "    (empty)\r\n";
  return out;
}

std::string Render(const DialogForm& form, int focused, const std::string& typed) {
  std::string out = "== " + form.caption + "==\r\n";
  for (int i : InScreenOrder(form, [](const DialogControl& c) { return c.visible; })) {
    const DialogControl& c = form.controls[i];
    if (c.kind == DialogControlKind::Label) {
      std::string text = c.caption;
      for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 3)) {
        text.replace(at, 1, "\r\n  ");
      }
      out += "  " + text + "\r\n";
    } else if (c.kind == DialogControlKind::GroupBox) {
      out += "\r\n  -- " + c.caption + " --\r\n";
    } else {
      out += (i == focused ? "> " : "  ") + std::string(c.parent >= 0 ? "  " : "") +
             ControlLine(c, i == focused ? typed : std::string()) + "\r\n";
    }
  }
  if (focused >= 0 && form.controls[focused].kind == DialogControlKind::DropDownList) {
    out += ListEntries(form.controls[focused]);
  }
  return out + "\r\n  Up/Down/Tab: field  Left/Right: change  type a number, entry or name, Enter: take it\r\n"
               "  Enter: next field, press a button  Esc (q off the lists): close\r\n";
}

// The entry of `list` that `typed` names: an entry's own text, else its number.
int TypedEntry(const DialogControl& list, const std::string& typed) {
  const auto same = std::find(list.items.begin(), list.items.end(), typed);
  if (same != list.items.end()) return static_cast<int>(same - list.items.begin());
  if (typed.find_first_not_of("0123456789") != std::string::npos || typed.size() > 6) return -1;
  const int wanted = std::stoi(typed) - list.firstNumber;
  return wanted >= 0 && wanted < static_cast<int>(list.items.size()) ? wanted : -1;
}

// The form on the terminal: which field has the focus, what has been typed
// there, and the keys' effects.
class TerminalForm {
 public:
  TerminalForm(DialogModel& model, Terminal& terminal) : model_(model), terminal_(terminal) {
    form_ = model.Describe();
    order_ = InScreenOrder(form_, Focusable);
    const auto firstList = std::find_if(order_.begin(), order_.end(), [&](int i) {
      return form_.controls[i].kind == DialogControlKind::DropDownList;
    });
    focus_ = firstList == order_.end() ? 0 : static_cast<std::size_t>(firstList - order_.begin());
  }

  void Draw() {
    terminal_.Write((clear_ ? "\x1b[H\x1b[2J" : "\r\n") + Render(form_, Focused(), typed_));
    clear_ = true;
  }

  // Returns true when the dialog is to close.
  bool Press(const KeyPress& press) {
    switch (press.key) {
      case Key::None: return false;
      case Key::Close: return Send({DialogEventKind::Closed, -1, -1});
      case Key::Next: return Move(1);
      case Key::Previous: return Move(order_.size() - 1);
      case Key::Left: case Key::Right: return Step(press.key == Key::Right ? 1 : -1);
      case Key::Char:
        if (!OnList()) return press.typed == 'q' || press.typed == 'Q' ? Send({DialogEventKind::Closed, -1, -1}) : false;
        if (typed_.size() < kLongestTyped) typed_ += press.typed;
        return false;
      case Key::Backspace:
        if (!typed_.empty()) typed_.pop_back();
        return false;
      case Key::Enter: return Enter();
    }
    return false;
  }

  void Closed() { Send({DialogEventKind::Closed, -1, -1}); }

 private:
  int Focused() const { return order_.empty() ? -1 : order_[focus_]; }
  bool OnList() const {
    return Focused() >= 0 && form_.controls[Focused()].kind == DialogControlKind::DropDownList;
  }

  bool Send(const DialogEvent& event) {
    terminal_.Suspend();
    const bool close = model_.HandleEvent(event);
    terminal_.Resume();
    form_ = model_.Describe();
    return close;
  }

  bool Move(std::size_t step) {
    typed_.clear();
    if (!order_.empty()) focus_ = (focus_ + step) % order_.size();
    return false;
  }

  bool Step(int direction) {
    if (!OnList() || form_.controls[Focused()].items.empty()) return false;
    const int selected = form_.controls[Focused()].selected;
    const int last = static_cast<int>(form_.controls[Focused()].items.size()) - 1;
    const int wanted = std::clamp(selected + direction, 0, last);
    return wanted != selected && Send({DialogEventKind::SelectionChanged, Focused(), wanted});
  }

  bool Enter() {
    const int current = Focused();
    if (current < 0) return false;
    if (OnList()) {
      if (typed_.empty()) return Move(1);
      const std::string text = std::exchange(typed_, std::string());
      const int wanted = TypedEntry(form_.controls[current], text);
      if (wanted >= 0) return Send({DialogEventKind::SelectionChanged, current, wanted});
      clear_ = false;  // keep what the logic wrote, such as a name it refused
      return Send({DialogEventKind::TextEntered, current, -1, text});
    }
    if (form_.controls[current].kind == DialogControlKind::LinkLabel) {
      return Send({DialogEventKind::LabelClicked, current, -1});
    }
    clear_ = false;  // keep what the logic wrote, such as a refused write
    return Send({DialogEventKind::OkClicked, current, -1});
  }

  DialogModel& model_;
  Terminal& terminal_;
  DialogForm form_;
  std::vector<int> order_;
  std::size_t focus_ = 0;
  std::string typed_;
  bool clear_ = true;
};

}  // namespace

bool ShowModalDialog(DialogModel& model) {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  Terminal terminal(fd);
  if (!terminal.InForeground()) {
    const std::string refusal = "The options form needs the terminal: run it in the foreground (without &).\n";
    if (write(STDERR_FILENO, refusal.data(), refusal.size()) < 0) return false;
    return false;
  }
  if (!terminal.EnterRawMode()) return false;
  TerminalForm screen(model, terminal);
  bool ended = false;
  bool redraw = true;
  while (!ended) {
    if (redraw) screen.Draw();
    RunHandOvers();
    const KeyPress press = terminal.NextKey(&ended);
    redraw = press.key != Key::None;
    if (screen.Press(press)) {
      const std::string note = model.ClosingNote();
      if (!note.empty()) terminal.Write("\r\n" + note + "\r\n");
      return true;
    }
  }
  // The terminal went away: as if the dialog had been closed.
  screen.Closed();
  return true;
}

int ScreenPixelsPerInch() { return 96; }

int CompareTextIgnoreCase(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str());
}

}  // namespace os
