#include <gtest/gtest.h>

#include "protocol/Messages.h"
#include "protocol/RelayRefusals.h"

namespace tlm {
namespace {

TEST(Messages, SplitTabsKeepsEmptyFields) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {""}},
      {"a", {"a"}},
      {"a\t\tb", {"a", "", "b"}},
      {"\t", {"", ""}},
      {"1.2.3.4\tname\t", {"1.2.3.4", "name", ""}},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(SplitTabs(in), out) << in;
  EXPECT_EQ(FieldAt(SplitTabs("ip"), 1), "") << "a missing field reads as empty";
}

TEST(Messages, ConnectRequestText) {
  EXPECT_EQ(BuildConnectRequest("123456789", "PC-1", ""), "123456789\tPC-1\t\tcontrol");
}

TEST(Messages, MonitorListRoundTrip) {
  EXPECT_EQ(BuildMonitorList({{0, 1920, 1080, true}}), "0\t1920\t1080\t1") << "one monitor: no line break";
  const std::string two = BuildMonitorList({{0, 1920, 1080, true}, {1, 1280, 1024, false}});
  EXPECT_EQ(two, "0\t1920\t1080\t1\r\n1\t1280\t1024\t0");
  auto entries = ParseMonitorList(two);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].Number, 2);
  EXPECT_EQ(entries[1].WidthText, "1280");
  EXPECT_EQ(entries[1].HeightText, "1024");
}

TEST(Messages, MonitorListSkipsEmptyLinesAndShortLinesStillCount) {
  auto entries = ParseMonitorList("\r\n0\t800\r\n\r\n1\t1024\t768\t0\r\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Number, 2) << "the short line made no entry but counted";
  EXPECT_EQ(entries[0].WidthText, "1024");
}

TEST(Messages, DirListingRoundTrip) {
  EXPECT_EQ(BuildDirListing("/home/u", {}), "/home/u\r\n") << "an empty folder is the path line only";
  const std::string text =
      BuildDirListing(DrivesHeader, {{true, "C:\\", 0}, {false, "a.txt", 5000000000ull}});
  EXPECT_EQ(text, "#DRIVES\r\nD\tC:\\\t0\r\nF\ta.txt\t5000000000\r\n");
  auto listing = ParseDirListing(text);
  ASSERT_TRUE(listing);
  EXPECT_TRUE(listing->IsDrives);
  EXPECT_EQ(listing->Path, "");
  ASSERT_EQ(listing->Entries.size(), 2u);
  EXPECT_TRUE(listing->Entries[0].IsDir);
  EXPECT_EQ(listing->Entries[1].SizeText, "5000000000");
}

TEST(Messages, DirListingReaderCases) {
  EXPECT_FALSE(ParseDirListing("")) << "empty text changes nothing";
  auto error = ParseDirListing("!Access denied");
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->IsError);
  EXPECT_EQ(error->ErrorText, "Access denied");
  auto mixed = ParseDirListing("C:\\Data\r\nF\tshort\r\nX\todd\t7\r\nD\tsub\t0");
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->Path, "C:\\Data");
  ASSERT_EQ(mixed->Entries.size(), 2u) << "a two-field line is skipped";
  EXPECT_FALSE(mixed->Entries[0].IsDir) << "anything but D is a file";
  EXPECT_TRUE(mixed->Entries[1].IsDir);
}

TEST(Messages, FileBeginNeedsTwoFields) {
  EXPECT_EQ(BuildFileBegin("a b.txt", 65537), "a b.txt\t65537");
  EXPECT_EQ(FileBeginName("x.bin\t12"), "x.bin");
  EXPECT_EQ(FileBeginName("x.bin\t"), "x.bin");
  EXPECT_FALSE(FileBeginName("x.bin"));
}

TEST(Messages, SessionRange) {
  EXPECT_FALSE(IsSessionMsg(MsgAdmitReject));
  EXPECT_TRUE(IsSessionMsg(MsgFrame));
  EXPECT_TRUE(IsSessionMsg(MsgDirListing));
  EXPECT_FALSE(IsSessionMsg(58));
  EXPECT_FALSE(IsSessionMsg(MsgRelayError));
}

TEST(Messages, RelayRefusalsAreToldApartByTheirExactText) {
  using namespace relaytext;
  const std::string Padded = std::string(Offline) + " ";
  const std::pair<std::string_view, ERelayRefusal> cases[] = {
      {Offline, ERelayRefusal::Offline},
      {Busy, ERelayRefusal::Busy},
      {Malformed, ERelayRefusal::Malformed},
      {NoAnswer, ERelayRefusal::NoAnswer},
      {HostLeft, ERelayRefusal::HostLeft},
      {TooManyRequests, ERelayRefusal::TooManyRequests},
      {TooManyConnections, ERelayRefusal::TooManyConnections},
      {Unavailable, ERelayRefusal::Unavailable},
      {TlsRequired, ERelayRefusal::TlsRequired},
      // an older relay's wording, or a text around a known one, is not mistaken for it
      {"", ERelayRefusal::Other},
      {"존재하지 않는 ID", ERelayRefusal::Other},
      {Padded, ERelayRefusal::Other},
  };
  for (const auto& [text, kind] : cases)
    EXPECT_EQ(ClassifyRelayRefusal(text), kind) << text;
}

}  // namespace
}  // namespace tlm
