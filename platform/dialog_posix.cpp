// A modal dialog on the controlling terminal: the form's texts, its
// drop-down lists with their selections, its buttons and links. Tab and the
// Up/Down arrows move between fields, Left/Right change a list's selection,
// an entry's number or its text (digits) and Enter choose it in a list,
// Enter presses a button or opens a link, q or Esc closes the dialog.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
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

enum class Key { None, Next, Previous, Left, Right, Enter, Close, Digit, Backspace };

struct KeyPress {
  Key key = Key::None;
  char digit = 0;
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
      case 'q': case 'Q': case 3: return {Key::Close};
      case 127: case 8: return {Key::Backspace};
      case 27: return EscapeSequence(ended);
      default: break;
    }
    if (c >= '0' && c <= '9') return {Key::Digit, c};
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

// Focusable controls in tab order; links after them.
std::vector<int> FocusOrder(const DialogForm& form) {
  std::vector<int> order;
  for (int i = 0; i < static_cast<int>(form.controls.size()); ++i) {
    if (Focusable(form.controls[i])) order.push_back(i);
  }
  auto rank = [&](int i) {
    const DialogControl& c = form.controls[i];
    return c.kind == DialogControlKind::LinkLabel ? 1 << 20 : c.tabOrder;
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return rank(a) < rank(b); });
  return order;
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

std::string Render(const DialogForm& form, int focused, const std::string& typed) {
  std::vector<int> shown;
  for (int i = 0; i < static_cast<int>(form.controls.size()); ++i) {
    if (form.controls[i].visible) shown.push_back(i);
  }
  std::stable_sort(shown.begin(), shown.end(), [&](int a, int b) {
    return FormPlace(form, form.controls[a]) < FormPlace(form, form.controls[b]);
  });

  std::string out = "== " + form.caption + "==\r\n";
  for (int i : shown) {
    const DialogControl& c = form.controls[i];
    const std::string mark = i == focused ? "> " : "  ";
    const std::string indent = c.parent >= 0 ? "  " : "";
    std::string line;
    switch (c.kind) {
      case DialogControlKind::Label:
        line = c.caption;
        for (std::size_t at = line.find('\n'); at != std::string::npos; at = line.find('\n', at + 3)) {
          line.replace(at, 1, "\r\n  ");
        }
        out += "  " + line + "\r\n";
        continue;
      case DialogControlKind::LinkLabel: line = c.caption + "  (link: Enter opens)"; break;
      case DialogControlKind::GroupBox: out += "\r\n  -- " + c.caption + " --\r\n"; continue;
      case DialogControlKind::CheckBox: line = (c.checked ? "[x] " : "[ ] ") + c.caption; break;
      case DialogControlKind::Button: line = "[ " + c.caption + " ]"; break;
      case DialogControlKind::DropDownList:
        line = c.caption + ": " +
               (c.selected >= 0 ? c.items[c.selected] : std::string("(none)"));
        break;
    }
    out += mark + indent + line + "\r\n";
  }

  if (focused >= 0 && form.controls[focused].kind == DialogControlKind::DropDownList) {
    const DialogControl& list = form.controls[focused];
    out += "\r\n  " + list.caption + " entries:\r\n";
    for (std::size_t n = 0; n < list.items.size(); ++n) {
      out += (static_cast<int>(n) == list.selected ? "   *" : "    ") +
             std::to_string(static_cast<int>(n) + list.firstNumber) + ") " + list.items[n] + "\r\n";
    }
    if (list.items.empty()) out += "    (empty)\r\n";
  }
  out += "\r\n  Tab/Up/Down: field  Left/Right: change  number or entry+Enter: choose  "
         "Enter: press  q/Esc: close\r\n";
  if (!typed.empty()) out += "  Typed: " + typed + "\r\n";
  return out;
}

// The entry of `list` that `typed` names: an entry's own text, else its number.
int TypedEntry(const DialogControl& list, const std::string& typed) {
  const auto same = std::find(list.items.begin(), list.items.end(), typed);
  if (same != list.items.end()) return static_cast<int>(same - list.items.begin());
  const int wanted = std::stoi(typed) - list.firstNumber;
  return wanted >= 0 && wanted < static_cast<int>(list.items.size()) ? wanted : -1;
}

}  // namespace

bool ShowModalDialog(DialogModel& model) {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  Terminal terminal(fd);
  if (!terminal.EnterRawMode()) return false;

  DialogForm form = model.Describe();
  const std::vector<int> order = FocusOrder(form);
  std::size_t focus = 0;
  std::string typed;
  bool clear = true;
  bool ended = false;
  bool redraw = true;

  auto handle = [&](const DialogEvent& event) {
    terminal.Suspend();
    const bool close = model.HandleEvent(event);
    terminal.Resume();
    form = model.Describe();
    return close;
  };

  while (!ended) {
    if (redraw) {
      const int focused = order.empty() ? -1 : order[focus];
      terminal.Write((clear ? "\x1b[H\x1b[2J" : "\r\n") + Render(form, focused, typed));
      clear = true;
      redraw = false;
    }
    RunHandOvers();
    const KeyPress press = terminal.NextKey(&ended);
    if (press.key == Key::None) continue;
    redraw = true;
    const int current = order.empty() ? -1 : order[focus];
    const bool onList =
        current >= 0 && form.controls[current].kind == DialogControlKind::DropDownList;
    const int count = onList ? static_cast<int>(form.controls[current].items.size()) : 0;
    switch (press.key) {
      case Key::None:
        break;
      case Key::Close:
        if (handle({DialogEventKind::Closed, -1, -1})) return true;
        break;
      case Key::Next:
      case Key::Previous:
        typed.clear();
        if (!order.empty()) {
          focus = (focus + (press.key == Key::Next ? 1 : order.size() - 1)) % order.size();
        }
        break;
      case Key::Left:
      case Key::Right: {
        if (!onList || count == 0) break;
        const int selected = form.controls[current].selected;
        const int wanted = std::clamp(selected + (press.key == Key::Right ? 1 : -1), 0, count - 1);
        if (wanted != selected && handle({DialogEventKind::SelectionChanged, current, wanted})) {
          return true;
        }
        break;
      }
      case Key::Digit:
        // Long enough for the highest rate.
        if (onList && typed.size() < 7) typed += press.digit;
        break;
      case Key::Backspace:
        if (!typed.empty()) typed.pop_back();
        break;
      case Key::Enter: {
        if (current < 0) break;
        const DialogControlKind kind = form.controls[current].kind;
        if (onList) {
          const int wanted = typed.empty() ? -1 : TypedEntry(form.controls[current], typed);
          typed.clear();
          if (wanted >= 0 && handle({DialogEventKind::SelectionChanged, current, wanted})) {
            return true;
          }
        } else if (kind == DialogControlKind::Button) {
          if (handle({DialogEventKind::OkClicked, current, -1})) return true;
          clear = false;  // keep what the logic wrote, such as a refused write
        } else if (kind == DialogControlKind::LinkLabel) {
          if (handle({DialogEventKind::LabelClicked, current, -1})) return true;
        }
        break;
      }
    }
  }
  // The terminal went away: as if the dialog had been closed.
  model.HandleEvent({DialogEventKind::Closed, -1, -1});
  return true;
}

int ScreenPixelsPerInch() { return 96; }

int CompareTextIgnoreCase(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str());
}

}  // namespace os
