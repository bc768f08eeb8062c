// The viewer's pure helpers: remote path navigation and tile decoding with clipping.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <vector>

#include "protocol/Error.h"
#include "tests/viewer/ViewerTestSupport.h"
#include "protocol/Messages.h"
#include "viewer/AdmissionText.h"
#include "viewer/RemotePaths.h"
#include "viewer/TileDecoder.h"

namespace tlm {
namespace {

TEST(RemotePathsTest, ParentFollowsTheHostsPathStyle) {
  struct TCase {
    const char* Path;
    const char* Parent;
  } cases[] = {
      {R"(C:\Users\Bob)", R"(C:\Users)"},
      {R"(C:\Users)", R"(C:\)"},
      {R"(C:\)", R"(C:\)"},  // a root: equal means "ask for the drive list"
      {"C:", "C:"},
      {"plain", ""},
      {R"(D:\a\b\c)", R"(D:\a\b)"},
      {"/home/u", "/home"},
      {"/home", "/"},
      {"/", "/"},
      {"/home/u/", "/home"},
      {"/srv/a:b", "/srv"},  // a colon is an ordinary character on a POSIX host
  };
  for (const auto& c : cases) EXPECT_EQ(RemoteParentPath(c.Path), c.Parent) << c.Path;
}

TEST(RemotePathsTest, ChildJoinsWithTheFoldersOwnDelimiter) {
  EXPECT_EQ(RemoteChildPath("C:", "Users"), R"(C:\Users)");
  EXPECT_EQ(RemoteChildPath(R"(C:\)", "Users"), R"(C:\Users)");
  EXPECT_EQ(RemoteChildPath(R"(C:\Users)", "a.txt"), R"(C:\Users\a.txt)");
  EXPECT_EQ(RemoteChildPath("/", "home"), "/home");
  EXPECT_EQ(RemoteChildPath("/home", "u"), "/home/u");
}

TEST(AdmissionTextTest, RefusalsSayWhichItWas) {
  const std::string refused(AdmitRejectReason);
  struct TCase {
    std::string Relay;
    bool Proof;
    int64_t WaitedMs;
    const char* Shown;
  } cases[] = {
      {refused, false, 5000, "상대방이 접속을 거부했습니다"},
      // A host with no password set asks too: the text must not blame the password typed.
      {refused, true, 5000, "비밀번호로 승인되지 않아 상대방에게 물었지만, 상대방이 접속을 거부했습니다"},
      // The host declines an unanswered question after 60 s with the same text.
      {refused, false, 60100, "상대방이 응답하지 않아 접속 요청이 거절되었습니다 (시간 초과)"},
      {refused, true, 60100, "비밀번호로 승인되지 않아 상대방에게 물었지만, 상대방이 응답하지 않아 접속 요청이 거절되었습니다 (시간 초과)"},
      {"상대방이 오프라인이거나 존재하지 않는 ID입니다", true, 10, "상대방이 오프라인이거나 존재하지 않는 ID입니다"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeRefusal(c.Relay, c.Proof, c.WaitedMs), c.Shown) << c.Relay << c.WaitedMs;
  EXPECT_TRUE(RefusedByPartner(refused));
  EXPECT_TRUE(RefusedByPartner("상대방이 응답하지 않습니다 (시간 초과)"));
  EXPECT_FALSE(RefusedByPartner("상대방이 오프라인이거나 존재하지 않는 ID입니다"));
  EXPECT_FALSE(RefusedByPartner("상대방이 이미 다른 연결을 처리하고 있습니다. 잠시 후 다시 시도하세요"));
}

TEST(AdmissionTextTest, RetriesWaitLongerUpToHalfAMinute) {
  std::vector<int> delays;
  for (int attempt = 1; attempt <= 8; ++attempt) delays.push_back(RetryDelaySeconds(attempt));
  EXPECT_EQ(delays, (std::vector<int>{2, 4, 8, 16, 30, 30, 30, 30}));
}

QColor PixelAt(const QImage& AImage, int AX, int AY) { return QColor(AImage.pixel(AX, AY)); }

TEST(TileDecoderTest, DrawsAtItsPlaceAndClipsAtTheEdges) {
  QImage target(40, 30, QImage::Format_RGB32);
  target.fill(Qt::black);
  TPixelTarget t{target.bits(), target.width(), target.height(), target.bytesPerLine()};
  TTileDecoder decoder;
  const TBytes red = test::SolidJpeg(16, 16, QColor(220, 30, 30));
  int w = 0, h = 0;
  ASSERT_TRUE(decoder.PeekSize(red, w, h));
  EXPECT_EQ(w, 16);
  EXPECT_EQ(h, 16);
  decoder.DrawInto(red, t, 4, 2);
  decoder.DrawInto(test::SolidJpeg(16, 16, QColor(30, 30, 220)), t, 32, 24);  // mostly outside
  decoder.DrawInto(test::SolidJpeg(8, 8, QColor(30, 220, 30)), t, 100, 100);  // wholly outside
  EXPECT_TRUE(test::Near(PixelAt(target, 4, 2), QColor(220, 30, 30)));
  EXPECT_TRUE(test::Near(PixelAt(target, 19, 17), QColor(220, 30, 30)));
  EXPECT_EQ(PixelAt(target, 20, 18), QColor(Qt::black));
  EXPECT_EQ(PixelAt(target, 3, 2), QColor(Qt::black));
  EXPECT_TRUE(test::Near(PixelAt(target, 39, 29), QColor(30, 30, 220)));
  EXPECT_EQ(PixelAt(target, 31, 29), QColor(Qt::black));
  EXPECT_EQ(qAlpha(target.pixel(10, 10)), 255);
}

TEST(TileDecoderTest, BrokenDataRaisesAndTheDecoderStaysUsable) {
  QImage target(16, 16, QImage::Format_RGB32);
  target.fill(Qt::black);
  TPixelTarget t{target.bits(), target.width(), target.height(), target.bytesPerLine()};
  TTileDecoder decoder;
  const TBytes garbage = {1, 2, 3, 4, 5, 6, 7, 8};
  int w = 0, h = 0;
  EXPECT_FALSE(decoder.PeekSize(garbage, w, h));
  EXPECT_THROW(decoder.DrawInto(garbage, t, 0, 0), TError);
  EXPECT_THROW(decoder.DrawInto(TBytes{}, t, 0, 0), TError);
  decoder.DrawInto(test::SolidJpeg(16, 16, Qt::white), t, 0, 0);
  EXPECT_TRUE(test::Near(PixelAt(target, 8, 8), Qt::white));
}

// The viewer decodes a tile into a buffer it does not clear first: a short image must still
// have every pixel written (libjpeg completes it), or raise.
TEST(TileDecoderTest, AShortImageIsCompletedOrRaises) {
  QImage picture(64, 48, QImage::Format_RGB888);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) picture.setPixelColor(x, y, QColor(x * 4, y * 5, (x ^ y) * 3));
  TTileDecoder decoder;
  for (const bool progressive : {false, true}) {
    const TBytes whole = test::EncodeJpeg(picture, 90, progressive);
    for (const size_t keep : {whole.size() - 2, whole.size() * 3 / 4, whole.size() / 2, size_t(700), size_t(400)}) {
      SCOPED_TRACE(testing::Message() << (progressive ? "progressive" : "baseline") << ", " << keep << " of "
                                      << whole.size() << " bytes");
      const TBytes shortImage(whole.begin(), whole.begin() + std::ptrdiff_t(keep));
      // Alpha 0 marks a pixel never written: the decoder writes 0xFF there.
      std::vector<uint32_t> pixels(size_t(64) * 48, 0x00123456u);
      TPixelTarget target{reinterpret_cast<uint8_t*>(pixels.data()), 64, 48, 64 * 4};
      try {
        decoder.DrawInto(shortImage, target, 0, 0);
      } catch (const TError&) {
        continue;  // never drawn
      }
      EXPECT_EQ(std::count_if(pixels.begin(), pixels.end(), [](uint32_t APixel) { return APixel >> 24 != 0xFF; }), 0);
    }
  }
}

TEST(TileDecoderTest, ATileNeverTakesMoreMemoryThanTheCap) {
  // A progressive image buffers every coefficient: 2400 x 2400 needs about 17 MB.
  QImage picture(2400, 2400, QImage::Format_RGB888);
  picture.fill(QColor(90, 160, 40));
  const TBytes progressive = test::EncodeJpeg(picture, 80, true);
  QImage target(64, 64, QImage::Format_RGB32);
  TPixelTarget t{target.bits(), target.width(), target.height(), target.bytesPerLine()};
  TTileDecoder small(8L << 20);
  EXPECT_THROW(small.DrawInto(progressive, t, 0, 0), TError);
  TTileDecoder standard;
  standard.DrawInto(progressive, t, 0, 0);
  EXPECT_TRUE(test::Near(QColor(target.pixel(5, 5)), QColor(90, 160, 40)));
}

}  // namespace
}  // namespace tlm
