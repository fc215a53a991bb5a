// The link driver with the clock in the test's hand: ticks are called directly.

#include "tests/phone/PluginFixture.h"

namespace {

class LinkDriverTest : public PluginFixture {
 protected:
  wrapper& w() { return *State.PortWrapper; }
  void DownloadTicks(int count) {
    for (int i = 0; i < count; ++i) w().DownloadTick();
  }
  // Starts a download of "x" into `target` without waiting for it.
  void StartDownloadOfX(const std::string& target = ::testing::TempDir() + "velk-link-x") {
    State.Link.Busy = true;
    State.Download = {};
    State.Download.RemotePath = "x";
    State.Download.LocalPath = target;
    int error = 0;
    State.Download.DownloadStream = os::CreateReplacingFile(target, &error);
    ASSERT_TRUE(State.Download.DownloadStream);
    StartOperation(ReplyKind::Download, ReadFirstPacket("x"));
  }
  // A first read reply announcing `size` bytes and carrying `data`; more data follows.
  static Bytes FirstReadReply(std::uint32_t size, const Bytes& data) {
    Bytes packet{0x59, 0x04, 0x00, 0x00, 0x01};
    AppendLe32(packet, size);
    AppendLe16(packet, static_cast<std::uint16_t>(data.size()));
    return EncodeFrame(packet + data);
  }
  // A later read reply answering the request with `sequence`.
  static Bytes NextReadReply(std::uint8_t sequence, const Bytes& data, bool more = true) {
    Bytes packet{0x59, 0x04, 0x00, static_cast<char>(sequence), more ? '\x01' : '\x00'};
    AppendLe16(packet, static_cast<std::uint16_t>(data.size()));
    return EncodeFrame(packet + data);
  }
};

TEST_F(LinkDriverTest, DownloadTakesOnlyTheAnnouncedDataInSequence) {
  struct Case {
    const char* name;
    std::vector<Bytes> replies;
    Bytes file;  // empty: the download fails and no file is written
    std::size_t requests;
  };
  const Case cases[] = {
      {"a repeated reply is stale", {FirstReadReply(10, "0123"), NextReadReply(1, "4567"), NextReadReply(1, "4567"),
                                     NextReadReply(2, "89")}, "0123456789", 3},
      {"data past the announced size", {FirstReadReply(6, "0123"), NextReadReply(1, "4567")}, "", 2},
      {"three replies without data", {FirstReadReply(10, "0123"), NextReadReply(1, ""), NextReadReply(2, ""),
                                      NextReadReply(3, "")}, "", 4},
      {"a size with the top bit set", {FirstReadReply(0x80000000u, Bytes(16, 'z')), NextReadReply(1, ""),
                                       NextReadReply(2, ""), NextReadReply(3, "")}, "", 4},
      {"answers to an earlier request only", {FirstReadReply(8, "0123"), NextReadReply(7, "4567"),
                                              NextReadReply(7, "4567"), NextReadReply(7, "4567")}, "", 2},
      {"an earlier abort's answer is no reply", {EncodeFrame(AbortPacket()), FirstReadReply(6, "0123"),
                                                 EncodeFrame(AbortPacket()), NextReadReply(1, "45", false)},
       "012345", 2},
      {"a status ends it at once", {FirstReadReply(10, "0123"), EncodeFrame(Bytes{0x59, 0x04, 0x13})}, "", 2},
      {"nothing follows, short of the size", {FirstReadReply(10, "0123"), NextReadReply(1, "45", false)}, "", 2},
  };
  const std::string target = ::testing::TempDir() + "velk-link-table";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::DeleteLocalFile(target);
    const std::size_t sentBefore = device().Written().size();
    StartDownloadOfX(target);
    for (const Bytes& reply : c.replies) {
      device().Deliver(reply);
      w().DownloadTick();
    }
    EXPECT_FALSE(State.Link.Busy);
    EXPECT_EQ(State.Link.Succeeded, !c.file.empty());
    State.Download.DownloadStream.reset();  // as the export does when the wait is over
    Bytes stored;
    EXPECT_EQ(os::ReadLocalFile(target, &stored) == 0, !c.file.empty());
    EXPECT_EQ(stored, c.file);
    EXPECT_EQ(device().Written().size() - sentBefore, c.requests);
  }
  os::DeleteLocalFile(target);
}

TEST_F(LinkDriverTest, TransferWithoutReplyEndsAtTick51) {
  StartDownloadOfX();
  DownloadTicks(50);
  EXPECT_TRUE(State.Link.Busy);
  EXPECT_TRUE(State.DownloadTimer->Enabled());
  w().DownloadTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded);
  EXPECT_FALSE(State.DownloadTimer->Enabled());
}

TEST_F(LinkDriverTest, ReplyInThreeReadsIsHandledOnceWhole) {
  StartDownloadOfX();
  const Bytes reply = FirstReadReply(10, "0123");
  device().Deliver(reply.substr(0, 5));
  w().DownloadTick();
  device().Deliver(reply.substr(5, 6));
  w().DownloadTick();
  EXPECT_EQ(device().Written().size(), 1u) << "nothing sent before the frame is complete";
  EXPECT_EQ(State.Link.Attempt.IdleTicks, 2);
  device().Deliver(reply.substr(11));
  w().DownloadTick();
  EXPECT_EQ(State.Link.Attempt.IdleTicks, 0) << "a complete frame resets the idle count";
  EXPECT_EQ(State.Download.TransferDone, 4u);
  EXPECT_TRUE(State.Link.RxBuffer.empty());
  ASSERT_EQ(device().Written().size(), 2u);
  EXPECT_EQ(device().Written()[1], BuildFrame(ReadNextPacket(1)));
}

TEST_F(LinkDriverTest, TwoFramesInOneReadAreTwoReplies) {
  const std::string target = ::testing::TempDir() + "velk-two-frames";
  StartDownloadOfX(target);
  Bytes later{0x59, 0x04, 0x00, 0x01, 0x00, 0x03, 0x00};
  device().Deliver(FirstReadReply(7, "abcd") + EncodeFrame(later + "efg"));
  w().DownloadTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_TRUE(State.Link.Succeeded);
  Bytes stored;
  EXPECT_EQ(os::ReadLocalFile(target, &stored), 0);
  EXPECT_EQ(stored, "abcdefg");
  os::DeleteLocalFile(target);
}

TEST_F(LinkDriverTest, PiecesWithoutTerminatorRunIntoTheIdleLimit) {
  StartDownloadOfX();
  for (int i = 0; i < 50; ++i) {
    device().Deliver("a");
    w().DownloadTick();
  }
  EXPECT_TRUE(State.Link.Busy);
  device().Deliver("a");
  w().DownloadTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded);
}

TEST_F(LinkDriverTest, TickAfterItsTimerWasDisabledOnlyCounts) {
  StartDownloadOfX();
  State.DownloadTimer->SetEnabled(false);
  device().Deliver(FirstReadReply(4, "abcd"));
  const int before = State.Link.Attempt.IdleTicks;
  w().DownloadTick();
  EXPECT_EQ(State.Link.Attempt.IdleTicks, before + 1);
  EXPECT_GT(device().Waiting(), 0u) << "nothing was read";
  EXPECT_TRUE(State.Link.Busy);
}

TEST_F(LinkDriverTest, CommandTickWithNothingWaitingKeepsPolling) {
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpDeleteFile, "a"));
  w().CommandTick();
  EXPECT_TRUE(State.Link.Busy);
  EXPECT_TRUE(State.CommandTimer->Enabled());
}

TEST_F(LinkDriverTest, CommandWithoutReplyEndsAfterItsTimeLimit) {
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpDeleteFile, "a"));
  for (int i = 0; i < kIdleTickLimit; ++i) w().CommandTick();
  EXPECT_TRUE(State.Link.Busy);
  w().CommandTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded);
  EXPECT_FALSE(State.CommandTimer->Enabled());
}

TEST_F(LinkDriverTest, ClosedPortEndsTheOperationAtTheFirstTick) {
  w().Port().Close();
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpMakeDir, "a"));
  w().CommandTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded);
}

TEST_F(LinkDriverTest, WriteFailureBeepsOnceAndReachesNoExport) {
  device().writeError = 5;
  EXPECT_NO_THROW(SendPacket(PathCommandPacket(kOpDeleteFile, "a")));
  EXPECT_EQ(beeps_, 1);
}

TEST_F(LinkDriverTest, DamagedReplyIsAFailedReply) {
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpDeleteFile, "a"));
  Bytes reply = EncodeFrame(Bytes{0x59, 0x06, 0x00});
  reply[2] ^= 0x01;  // status 0 becomes 1, but the checksum tells
  device().Deliver(reply);
  w().CommandTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded);
}

TEST_F(LinkDriverTest, StaleBytesBeforeAReplyAreSkipped) {
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpRemoveDir, "a"));
  device().Deliver(Bytes("\xA8\x11\x7E", 3));  // the tail of a reply to an earlier session
  w().CommandTick();
  EXPECT_TRUE(State.Link.Busy) << "noise is no reply";
  device().Deliver(Bytes(5000, '\x13'));  // line noise without a terminator
  w().CommandTick();
  EXPECT_LE(State.Link.RxBuffer.size(), kLongestReplyFrame) << "noise beyond the longest reply is dropped";
  device().Deliver(Bytes("\x13\x37") + EncodeFrame(Bytes{0x59, 0x01, 0x09}));
  w().CommandTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded) << "the reply after the noise was judged: not empty";
}

TEST_F(LinkDriverTest, LateReplyOfAnEarlierRequestEndsNoWait) {
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpMakeDir, "b"));
  for (int i = 0; i < kIdleTickLimit; ++i) w().CommandTick();
  device().Deliver(EncodeFrame(Bytes{0x59, 0x0A, 0x1C}));  // answers a listing request sent before
  w().CommandTick();
  EXPECT_TRUE(State.Link.Busy);
  w().CommandTick();
  EXPECT_TRUE(State.Link.Busy) << "a late reply is a sign of life: the idle count started again";
  device().Deliver(EncodeFrame(Bytes{0x59, 0x00, 0x07}));
  w().CommandTick();
  EXPECT_FALSE(State.Link.Busy);
  EXPECT_FALSE(State.Link.Succeeded) << "judged by its own reply: the folder exists";
}

TEST_F(LinkDriverTest, ReplyArrivingDuringTheWaitIsHandledBeforeTheNextTick) {
  device().onFrame = [this](const Bytes&) { device().Deliver(EncodeFrame(Bytes{0x59, 0x06, 0x00})); };
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(kOpDeleteFile, "a"));
  WaitWhileBusy();
  EXPECT_TRUE(State.Link.Succeeded);
  EXPECT_EQ(State.Link.Attempt.IdleTicks, 0) << "no poll tick was needed";
  EXPECT_EQ(os::ManualClockMilliseconds(), 0u) << "the wait took no time at all";
}

TEST_F(LinkDriverTest, TransferStartedAfterATimeOutGetsItsFullIdleAllowance) {
  StartDownloadOfX();
  DownloadTicks(51);
  ASSERT_FALSE(State.Link.Busy);
  State.Link.Busy = true;
  StartOperation(ReplyKind::Upload, WriteFirstPacket("y", 1, "z"));
  for (int i = 0; i < kIdleTickLimit; ++i) w().UploadTick();
  EXPECT_TRUE(State.Link.Busy);
}

}  // namespace
