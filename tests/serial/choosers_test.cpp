// The port list's order, the baud-rate texts and the choosers bound to a port
// object.
#include <gtest/gtest.h>

#include <memory>

#include "platform/dialog.h"
#include "serial/CPortCtl.h"

namespace {

TPortLister FixedPorts(TStrings ports) {
  return [ports](TStrings& list) { list = ports; };
}

TEST(PortList, SortsIgnoringCaseWithTenBeforeTwo) {
  for (auto compare : {CompareTextAscii, os::CompareTextIgnoreCase}) {
    TStrings names = {"COM2", "COM10", "COM1"};
    SortPortNames(names, compare);
    EXPECT_EQ(names, (TStrings{"COM1", "COM10", "COM2"}));

    TStrings mixed = {"com3", "COM2", "ttyUSB0", "COM1"};
    SortPortNames(mixed, compare);
    EXPECT_EQ(mixed, (TStrings{"COM1", "COM2", "com3", "ttyUSB0"}));
  }
}

TEST(PortList, KeepsDuplicatesInTheirOrder) {
  TStrings names = {"COM3", "com1", "COM1", "COM1"};
  SortPortNames(names, CompareTextAscii);
  EXPECT_EQ(names, (TStrings{"com1", "COM1", "COM1", "COM3"}));
}

TEST(PortList, EnumerationGivesTheMachinesPortsSorted) {
  TStrings machine;
  ASSERT_EQ(os::ListSerialPorts(&machine), 0);
  TStrings listed = {"left over"};
  EnumeratePorts(listed);
  SortPortNames(machine, os::CompareTextIgnoreCase);
  EXPECT_EQ(listed, machine);
}

TEST(BaudRateTexts, ConvertBothWays) {
  EXPECT_EQ(TextToBaudRate("custom"), brCustom);
  EXPECT_EQ(TextToBaudRate("CUSTOM"), brCustom);
  EXPECT_EQ(TextToBaudRate("9600"), br9600);
  EXPECT_EQ(TextToBaudRate("1000"), br9600);
  EXPECT_EQ(TextToBaudRate(""), br9600);
  EXPECT_EQ(TextToBaudRate("256000"), br256000);
  EXPECT_EQ(BaudRateToText(brCustom), "Custom");
  EXPECT_EQ(BaudRateToText(br110), "110");
  EXPECT_EQ(BaudRateToText(br512000), "512000");
  for (int i = 0; i < kBaudRateCount; ++i) {
    const auto rate = static_cast<TBaudRate>(i);
    EXPECT_EQ(TextToBaudRate(BaudRateToText(rate)), rate) << i;
  }
}

TEST(ComComboBox, BaudChooserShowsThePortsRate) {
  TComPort port;
  port.SetBaudRate(br256000);
  TComComboBox box;
  box.SetComPort(&port);
  box.SetComProperty(cpBaudRate);
  ASSERT_EQ(box.Items().size(), 17u);
  EXPECT_EQ(box.Items()[0], "Custom");
  EXPECT_EQ(box.ItemIndex(), 15);
  EXPECT_EQ(box.Text(), "256000");
  EXPECT_EQ(box.ComSelect().BaudRate, br256000);

  // Binding after the property is set selects the same way.
  TComComboBox late;
  late.SetComProperty(cpBaudRate);
  EXPECT_EQ(late.ItemIndex(), 0);  // no port bound: the first entry
  late.SetComPort(&port);
  EXPECT_EQ(late.ItemIndex(), 15);
}

TEST(ComComboBox, PortChooserSelectsIgnoringCaseOrNothing) {
  TComPort port;
  port.SetPort("com3");
  TComComboBox box;
  box.PortLister = FixedPorts({"COM1", "COM3"});
  box.SetComPort(&port);
  box.SetComProperty(cpPort);
  EXPECT_EQ(box.ItemIndex(), 1);
  EXPECT_EQ(box.ComSelect().Port, "COM3");  // the list's own text

  port.SetPort("COM9");
  box.SetComProperty(cpPort);
  EXPECT_EQ(box.Items(), (TStrings{"COM1", "COM3"}));
  EXPECT_EQ(box.ItemIndex(), -1);
  EXPECT_EQ(box.Text(), "");
}

TEST(ComComboBox, TextSelectsOnlyEntriesOfTheList) {
  TComComboBox box;
  box.SetComProperty(cpParity);
  EXPECT_EQ(box.Items(), (TStrings{"None", "Odd", "Even", "Mark", "Space"}));
  box.SetText("even");
  EXPECT_EQ(box.ItemIndex(), 2);
  EXPECT_EQ(box.Text(), "Even");
  box.SetText("Sometimes");
  EXPECT_EQ(box.ItemIndex(), 2);
  box.SetItemIndex(17);
  EXPECT_EQ(box.ItemIndex(), -1);

  box.SetComProperty(cpNone);
  EXPECT_TRUE(box.Items().empty());
  EXPECT_EQ(box.ItemIndex(), -1);
}

TEST(ComComboBox, OtherPropertiesListTheirTexts) {
  TComPort port;
  TComComboBox box;
  box.SetComPort(&port);
  box.SetComProperty(cpDataBits);
  EXPECT_EQ(box.Items(), (TStrings{"5", "6", "7", "8"}));
  EXPECT_EQ(box.Text(), "8");
  box.SetComProperty(cpStopBits);
  EXPECT_EQ(box.Items(), (TStrings{"1", "1.5", "2"}));
  EXPECT_EQ(box.Text(), "1");
  box.SetComProperty(cpFlowControl);
  EXPECT_EQ(box.Items(), (TStrings{"Hardware", "Software", "None", "Custom"}));
  EXPECT_EQ(box.Text(), "None");
}

TEST(ComComboBox, ChoiceWithoutAutoApplyChangesNoPort) {
  TComPort port;
  port.SetBaudRate(br256000);
  TComComboBox baud;
  baud.SetComPort(&port);
  baud.SetComProperty(cpBaudRate);
  int changes = 0;
  baud.OnChange = [&] { ++changes; };
  baud.UserSelect(3);
  EXPECT_EQ(baud.Text(), "600");
  EXPECT_EQ(baud.ComSelect().BaudRate, br600);
  EXPECT_EQ(port.BaudRate(), br256000);
  EXPECT_EQ(changes, 1);

  TComComboBox name;
  name.PortLister = FixedPorts({"COM1", "COM3"});
  name.SetComPort(&port);
  name.SetComProperty(cpPort);
  name.UserSelect(1);
  EXPECT_EQ(name.ComSelect().Port, "COM3");
  EXPECT_EQ(port.Port(), "COM1");
}

TEST(ComComboBox, ChoiceWithAutoApplySetsThePort) {
  TComPort port;
  TComComboBox box;
  box.PortLister = FixedPorts({"COM1", "COM3"});
  box.SetAutoApply(true);
  box.SetComPort(&port);

  box.SetComProperty(cpPort);
  box.UserSelect(1);
  EXPECT_EQ(port.Port(), "COM3");

  box.SetComProperty(cpBaudRate);
  box.UserSelect(13);
  EXPECT_EQ(port.BaudRate(), br115200);

  box.SetComProperty(cpDataBits);
  box.UserSelect(2);
  EXPECT_EQ(port.DataBits(), dbSeven);

  box.SetComProperty(cpStopBits);
  box.UserSelect(2);
  EXPECT_EQ(port.StopBits(), sbTwoStopBits);

  box.SetComProperty(cpParity);
  box.UserSelect(2);
  EXPECT_EQ(port.Parity().Bits, prEven);

  box.SetComProperty(cpFlowControl);
  box.UserSelect(0);
  EXPECT_TRUE(port.FlowControl().OutCTSFlow);
  EXPECT_EQ(port.FlowControl().ControlRTS, rtsHandshake);
  EXPECT_EQ(FlowControlOf(port.FlowControl()), fcHardware);
  box.UserSelect(1);
  EXPECT_EQ(FlowControlOf(port.FlowControl()), fcSoftware);
  EXPECT_EQ(port.FlowControl().ControlRTS, rtsDisable);
  box.UserSelect(2);
  EXPECT_EQ(FlowControlOf(port.FlowControl()), fcNone);
  EXPECT_EQ(port.FlowControl(), TComFlowControl{});
}

TEST(ComComboBox, DestroyedPortIsReleased) {
  auto port = std::make_unique<TComPort>();
  port->SetBaudRate(br256000);
  TComComboBox box;
  box.SetComPort(port.get());
  box.SetComProperty(cpBaudRate);
  ASSERT_EQ(box.ItemIndex(), 15);
  port.reset();
  EXPECT_EQ(box.ComPort(), nullptr);
  EXPECT_EQ(box.ItemIndex(), 0);
  // With no port bound a choice goes nowhere, even with AutoApply.
  box.SetAutoApply(true);
  box.UserSelect(4);
  EXPECT_EQ(box.ComSelect().BaudRate, br1200);

  // A chooser that goes first leaves no listener behind on its port.
  auto survivor = std::make_unique<TComPort>();
  {
    TComComboBox shortLived;
    shortLived.SetComPort(survivor.get());
  }
  survivor.reset();
}

TEST(ComComboBox, RebindingMovesTheDestroyListener) {
  auto first = std::make_unique<TComPort>();
  TComPort second;
  second.SetBaudRate(br4800);
  TComComboBox box;
  box.SetComProperty(cpBaudRate);
  box.SetComPort(first.get());
  box.SetComPort(&second);
  EXPECT_EQ(box.Text(), "4800");
  first.reset();  // no longer bound: the binding stays
  EXPECT_EQ(box.ComPort(), &second);
  EXPECT_EQ(box.Text(), "4800");
}

TEST(ComComboBox, FailingPortListingPassesOnAndLeavesTheListEmpty) {
  TComPort port;
  TComComboBox box;
  box.PortLister = [](TStrings&) { throw EComPort(kMsgRegistryError, 2); };
  box.SetComPort(&port);
  try {
    box.SetComProperty(cpPort);
    FAIL() << "no failure passed on";
  } catch (const EComPort& failure) {
    EXPECT_EQ(failure.Code(), kMsgRegistryError);
    EXPECT_EQ(failure.WinCode(), 2);
    EXPECT_NE(std::string(failure.what()).find("Registry error"), std::string::npos);
  }
  EXPECT_TRUE(box.Items().empty());
  EXPECT_EQ(box.ItemIndex(), -1);
}

}  // namespace
