// The serial port list and the choosers: drop-down lists bound to one setting
// of a port object, filled with that setting's possible values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/CPort.h"

using TStrings = std::vector<std::string>;

// Replaces `list` with the names of the machine's serial ports, sorted ignoring
// case, duplicates kept. Raises EComPort "Registry error" with the system's
// code when the ports cannot be listed; `list` is then left as it was.
void EnumeratePorts(TStrings& list);

// Sorts port names ignoring case with `compare` (<0, 0, >0); equal names keep
// their order.
void SortPortNames(TStrings& names,
                   const std::function<int(const std::string&, const std::string&)>& compare);

// Case-insensitive comparison of ASCII letters, independent of any locale.
int CompareTextAscii(const std::string& a, const std::string& b);

std::string BaudRateToText(TBaudRate rate);
// The rate whose text equals `text` ignoring case; br9600 when none does.
TBaudRate TextToBaudRate(const std::string& text);

enum TComProperty : std::uint8_t {
  cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl,
};

// Flow control as the chooser names it; fcCustom is any other combination.
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

const TStrings& DataBitsTexts();
const TStrings& StopBitsTexts();
const TStrings& ParityTexts();
const TStrings& FlowControlTexts();

// The flow-control name of a port's flow-control group.
TFlowControl FlowControlOf(const TComFlowControl& flow);

// Fills the list of a chooser when its property is cpPort.
using TPortLister = std::function<void(TStrings&)>;

// The chooser's binding and the value last chosen for each property.
class TComSelect {
 public:
  TCustomComPort* ComPort = nullptr;
  TComProperty ComProperty = cpNone;
  bool AutoApply = false;
  TStrings Items;

  std::string Port;
  TBaudRate BaudRate = br9600;
  TDataBits DataBits = dbEight;
  TStopBits StopBits = sbOneStopBit;
  TParityBits Parity = prNone;
  TFlowControl FlowControl = fcNone;

  // Clears Items and fills them with the values of ComProperty.
  void Refill(const TPortLister& listPorts);
  // Position of the bound port's current value, remembered as chosen; -1 when
  // it is not in the list.
  int FindPortValue();
  // Stores `text` as the chosen value of ComProperty and, with AutoApply,
  // sets it on the bound port.
  void Choose(const std::string& text);

 private:
  void Remember(const std::string& text);
  void ApplyToPort();
};

// A drop-down list (no typing) bound to one property of a port object.
class TComComboBox {
 public:
  TComComboBox() = default;
  ~TComComboBox();
  TComComboBox(const TComComboBox&) = delete;
  TComComboBox& operator=(const TComComboBox&) = delete;

  TComProperty ComProperty() const { return select_.ComProperty; }
  // Refills the list and selects the bound port's value (the first entry when
  // no port is bound). With cpPort a failure of the port listing passes on.
  void SetComProperty(TComProperty property);

  TCustomComPort* ComPort() const { return select_.ComPort; }
  void SetComPort(TCustomComPort* port);

  bool AutoApply() const { return select_.AutoApply; }
  void SetAutoApply(bool apply) { select_.AutoApply = apply; }

  TStrings& Items() { return select_.Items; }
  const TStrings& Items() const { return select_.Items; }
  const TComSelect& ComSelect() const { return select_; }

  int ItemIndex() const { return itemIndex_; }
  void SetItemIndex(int index);
  std::string Text() const;
  // Selects the entry equal to `text` ignoring case; otherwise nothing changes.
  void SetText(const std::string& text);
  // Position of the entry equal to `text` ignoring case, -1 when none.
  int IndexOf(const std::string& text) const;

  // The user picked entry `index`.
  void UserSelect(int index);

  // Source of the port names for cpPort.
  TPortLister PortLister = EnumeratePorts;
  // The list's ordinary change notification, after a user selection.
  std::function<void()> OnChange;

 private:
  void PortDestroyed();

  TComSelect select_;
  int itemIndex_ = -1;
};
