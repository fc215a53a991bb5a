#include "serial/CPortCtl.h"

#include <algorithm>
#include <cctype>

#include "platform/dialog.h"

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
  return CompareTextAscii(a, b) == 0;
}

int IndexOfText(const TStrings& list, const std::string& text) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (SameTextAscii(list[i], text)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

int CompareTextAscii(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = std::toupper(static_cast<unsigned char>(a[i]));
    const int cb = std::toupper(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

void SortPortNames(TStrings& names,
                   const std::function<int(const std::string&, const std::string&)>& compare) {
  std::stable_sort(names.begin(), names.end(),
                   [&](const std::string& a, const std::string& b) { return compare(a, b) < 0; });
}

void EnumeratePorts(TStrings& list) {
  TStrings found;
  const int code = os::ListSerialPorts(&found);
  if (code != 0) throw EComPort(kMsgRegistryError, code);
  SortPortNames(found, os::CompareTextIgnoreCase);
  list = std::move(found);
}

// Values outside the table come only from hand-edited settings: no text.
std::string BaudRateToText(TBaudRate rate) {
  if (rate >= kBaudRateCount) return std::string();
  return rate == brCustom ? "Custom" : std::to_string(kBaudRates[rate]);
}

TBaudRate TextToBaudRate(const std::string& text) {
  for (int i = 0; i < kBaudRateCount; ++i) {
    if (SameTextAscii(BaudRateToText(static_cast<TBaudRate>(i)), text)) return static_cast<TBaudRate>(i);
  }
  return br9600;
}

const TStrings& DataBitsTexts() {
  static const TStrings texts = {"5", "6", "7", "8"};
  return texts;
}

const TStrings& StopBitsTexts() {
  static const TStrings texts = {"1", "1.5", "2"};
  return texts;
}

const TStrings& ParityTexts() {
  static const TStrings texts = {"None", "Odd", "Even", "Mark", "Space"};
  return texts;
}

const TStrings& FlowControlTexts() {
  static const TStrings texts = {"Hardware", "Software", "None", "Custom"};
  return texts;
}

TFlowControl FlowControlOf(const TComFlowControl& flow) {
  const bool hardware = flow.OutCTSFlow && flow.ControlRTS == rtsHandshake;
  const bool noHardware =
      !flow.OutCTSFlow && !flow.OutDSRFlow && flow.ControlRTS != rtsHandshake;
  if (hardware && !flow.XonXoffOut && !flow.XonXoffIn) return fcHardware;
  if (noHardware && flow.XonXoffOut && flow.XonXoffIn) return fcSoftware;
  if (noHardware && !flow.XonXoffOut && !flow.XonXoffIn) return fcNone;
  return fcCustom;
}

namespace {

// The flow-control group that `kind` stands for, starting from `flow`;
// fcCustom keeps it as it is.
TComFlowControl WithFlowControl(TComFlowControl flow, TFlowControl kind) {
  if (kind == fcCustom) return flow;
  const bool hardware = kind == fcHardware;
  const bool software = kind == fcSoftware;
  flow.OutCTSFlow = hardware;
  flow.OutDSRFlow = false;
  if (hardware) {
    flow.ControlRTS = rtsHandshake;
  } else if (flow.ControlRTS == rtsHandshake) {
    flow.ControlRTS = rtsDisable;
  }
  flow.XonXoffOut = software;
  flow.XonXoffIn = software;
  return flow;
}

}  // namespace

void TComSelect::Refill(const TPortLister& listPorts) {
  Items.clear();
  switch (ComProperty) {
    case cpNone:
      break;
    case cpPort:
      listPorts(Items);
      break;
    case cpBaudRate:
      for (int i = 0; i < kBaudRateCount; ++i) Items.push_back(BaudRateToText(static_cast<TBaudRate>(i)));
      break;
    case cpDataBits:
      Items = DataBitsTexts();
      break;
    case cpStopBits:
      Items = StopBitsTexts();
      break;
    case cpParity:
      Items = ParityTexts();
      break;
    case cpFlowControl:
      Items = FlowControlTexts();
      break;
  }
}

int TComSelect::FindPortValue() {
  if (ComPort == nullptr) return -1;
  std::string value;
  switch (ComProperty) {
    case cpNone:
      return -1;
    case cpPort:
      value = ComPort->Port();
      break;
    case cpBaudRate:
      value = BaudRateToText(ComPort->BaudRate());
      break;
    case cpDataBits:
      value = ComPort->DataBits() < DataBitsTexts().size() ? DataBitsTexts()[ComPort->DataBits()]
                                                           : std::string();
      break;
    case cpStopBits:
      value = ComPort->StopBits() < StopBitsTexts().size() ? StopBitsTexts()[ComPort->StopBits()]
                                                           : std::string();
      break;
    case cpParity:
      value = ComPort->Parity().Bits < ParityTexts().size()
                  ? ParityTexts()[ComPort->Parity().Bits]
                  : std::string();
      break;
    case cpFlowControl:
      value = FlowControlTexts()[FlowControlOf(ComPort->FlowControl())];
      break;
  }
  const int index = IndexOfText(Items, value);
  if (index >= 0) Remember(Items[index]);
  return index;
}

void TComSelect::Choose(const std::string& text) {
  Remember(text);
  if (AutoApply && ComPort != nullptr) ApplyToPort();
}

void TComSelect::Remember(const std::string& text) {
  switch (ComProperty) {
    case cpNone:
      return;
    case cpPort:
      Port = text;
      break;
    case cpBaudRate:
      BaudRate = TextToBaudRate(text);
      break;
    case cpDataBits:
      DataBits = static_cast<TDataBits>(std::max(0, IndexOfText(DataBitsTexts(), text)));
      break;
    case cpStopBits:
      StopBits = static_cast<TStopBits>(std::max(0, IndexOfText(StopBitsTexts(), text)));
      break;
    case cpParity:
      Parity = static_cast<TParityBits>(std::max(0, IndexOfText(ParityTexts(), text)));
      break;
    case cpFlowControl: {
      const int index = IndexOfText(FlowControlTexts(), text);
      FlowControl = index < 0 ? fcCustom : static_cast<TFlowControl>(index);
      break;
    }
  }
}

void TComSelect::ApplyToPort() {
  switch (ComProperty) {
    case cpNone:
      break;
    case cpPort:
      ComPort->SetPort(Port);
      break;
    case cpBaudRate:
      ComPort->SetBaudRate(BaudRate);
      break;
    case cpDataBits:
      ComPort->SetDataBits(DataBits);
      break;
    case cpStopBits:
      ComPort->SetStopBits(StopBits);
      break;
    case cpParity: {
      TComParity parity = ComPort->Parity();
      parity.Bits = Parity;
      ComPort->SetParity(parity);
      break;
    }
    case cpFlowControl:
      ComPort->SetFlowControl(WithFlowControl(ComPort->FlowControl(), FlowControl));
      break;
  }
}

TComComboBox::~TComComboBox() {
  if (select_.ComPort != nullptr) select_.ComPort->RemoveDestroyListener(this);
}

void TComComboBox::SetComProperty(TComProperty property) {
  select_.ComProperty = property;
  itemIndex_ = -1;
  select_.Refill(PortLister);
  if (select_.Items.empty()) return;
  itemIndex_ = select_.ComPort != nullptr ? select_.FindPortValue() : 0;
}

void TComComboBox::SetComPort(TCustomComPort* port) {
  if (port == select_.ComPort) return;
  if (select_.ComPort != nullptr) select_.ComPort->RemoveDestroyListener(this);
  select_.ComPort = port;
  if (port == nullptr) return;
  port->AddDestroyListener(this, [this] { PortDestroyed(); });
  itemIndex_ = select_.FindPortValue();
}

void TComComboBox::PortDestroyed() {
  select_.ComPort = nullptr;
  if (!select_.Items.empty()) itemIndex_ = 0;
}

void TComComboBox::SetItemIndex(int index) {
  itemIndex_ = index >= 0 && index < static_cast<int>(select_.Items.size()) ? index : -1;
}

std::string TComComboBox::Text() const {
  return itemIndex_ >= 0 ? select_.Items[itemIndex_] : std::string();
}

int TComComboBox::IndexOf(const std::string& text) const {
  return IndexOfText(select_.Items, text);
}

void TComComboBox::SetText(const std::string& text) {
  const int index = IndexOf(text);
  if (index >= 0) itemIndex_ = index;
}

void TComComboBox::UserSelect(int index) {
  SetItemIndex(index);
  if (itemIndex_ >= 0) select_.Choose(select_.Items[itemIndex_]);
  if (OnChange) OnChange();
}
