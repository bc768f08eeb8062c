// The JPEG encoder on its own: output format, error recovery, buffer reuse.
#include <gtest/gtest.h>

#include "capture/JpegEncoder.h"
#include "protocol/Error.h"
#include "tests/capture/TestPictures.h"

namespace tlm {
namespace {

std::vector<uint8_t> ToRgb(const std::vector<uint32_t>& APicture) {
  std::vector<uint8_t> Out;
  for (uint32_t P : APicture) {
    Out.push_back(uint8_t(P >> 16));
    Out.push_back(uint8_t(P >> 8));
    Out.push_back(uint8_t(P));
  }
  return Out;
}

TEST(JpegEncoderTest, WritesBaselineRgbImagesWithThePictureStride) {
  const int W = 333, H = 97;
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(W, H, 5);
  const std::vector<uint8_t> Rgb = ToRgb(Picture);
  TJpegEncoder Encoder;
  TBytes Out;
  // Encoding the right-hand 100 columns through the stride.
  Encoder.Encode(Rgb.data() + 233 * 3, 100, H, size_t(W) * 3, 75, Out);
  test::TDecodedJpeg D;
  ASSERT_TRUE(test::DecodeJpeg(Out, D));
  EXPECT_EQ(D.Width, 100);
  EXPECT_EQ(D.Height, H);
  EXPECT_EQ(D.Components, 3);
  EXPECT_TRUE(D.Baseline);
  EXPECT_GT(test::Psnr(D, Picture.data(), W, 233, 0), 30.0);
  // Starts with SOI and JFIF, ends with EOI.
  ASSERT_GT(Out.size(), 20u);
  EXPECT_EQ(Out[0], 0xFF);
  EXPECT_EQ(Out[1], 0xD8);
  EXPECT_EQ(std::string(Out.begin() + 6, Out.begin() + 10), "JFIF");
  EXPECT_EQ(Out[Out.size() - 2], 0xFF);
  EXPECT_EQ(Out.back(), 0xD9);
}

TEST(JpegEncoderTest, SameInputGivesTheSameBytesAcrossBufferGrowth) {
  const std::vector<uint32_t> Big = test::MakeDesktopPicture(1200, 900, 9);  // beyond the first buffer
  const std::vector<uint8_t> Rgb = ToRgb(Big);
  TJpegEncoder A, B;
  TBytes Small, First, Second;
  A.Encode(Rgb.data(), 16, 16, 1200 * 3, 90, Small);
  A.Encode(Rgb.data(), 1200, 900, 1200 * 3, 90, First);
  B.Encode(Rgb.data(), 1200, 900, 1200 * 3, 90, Second);
  EXPECT_GT(First.size(), 64u * 1024);
  EXPECT_EQ(First, Second);
  TBytes Again;
  A.Encode(Rgb.data(), 16, 16, 1200 * 3, 90, Again);
  EXPECT_EQ(Small, Again);
}

// The capturer encodes straight from its 32-bit picture: the bytes must be those of the 24-bit
// copy, whatever the fourth byte holds, for odd sizes and a stride wider than the rectangle, at
// every quality the presets use.
TEST(JpegEncoderTest, WordPixelsGiveTheSameBytesAsTheirRgbCopy) {
  const int W = 421, H = 170;
  std::vector<uint32_t> Words = test::MakeDesktopPicture(W, H, 11);
  const std::vector<uint8_t> Rgb = ToRgb(Words);
  for (size_t I = 0; I < Words.size(); ++I) Words[I] |= uint32_t(I * 37 % 256) << 24;  // junk in the fourth byte
  struct TCase {
    int X, Y, Width, Height, Quality;
  };
  TJpegEncoder Encoder;
  for (const TCase C : {TCase{0, 0, W, H, 45}, TCase{0, 0, W, H, 62}, TCase{13, 7, 160, 160, 82},
                        TCase{400, 3, 21, 1, 62}, TCase{1, 161, 333, 9, 60}}) {
    SCOPED_TRACE(testing::Message() << C.X << "," << C.Y << " " << C.Width << "x" << C.Height << " q" << C.Quality);
    TBytes FromRgb, FromWords;
    Encoder.Encode(Rgb.data() + (size_t(C.Y) * W + size_t(C.X)) * 3, C.Width, C.Height, size_t(W) * 3, C.Quality,
                   FromRgb);
    Encoder.EncodeWords(Words.data() + size_t(C.Y) * W + size_t(C.X), C.Width, C.Height, size_t(W), C.Quality,
                        FromWords);
    EXPECT_EQ(FromRgb, FromWords);
  }
}

TEST(JpegEncoderTest, LibraryErrorsBecomeTErrorAndTheEncoderStaysUsable) {
  TJpegEncoder Encoder;
  std::vector<uint8_t> Row(70000 * 3, 128);
  TBytes Out{1, 2, 3};
  try {
    Encoder.Encode(Row.data(), 70000, 1, Row.size(), 60, Out);
    FAIL() << "expected an error";
  } catch (const TError& E) {
    EXPECT_NE(std::string(E.what()).find("65500"), std::string::npos) << E.what();
  }
  EXPECT_TRUE(Out.empty());
  EXPECT_THROW(Encoder.Encode(Row.data(), 0, 1, Row.size(), 60, Out), TError);
  Encoder.Encode(Row.data(), 64, 1, Row.size(), 60, Out);
  test::TDecodedJpeg D;
  ASSERT_TRUE(test::DecodeJpeg(Out, D));
  EXPECT_EQ(D.Width, 64);
}

TEST(JpegEncoderTest, QualityOutsideTheRangeIsClamped) {
  const std::vector<uint8_t> Rgb = ToRgb(test::MakeDesktopPicture(160, 160, 2));
  TJpegEncoder Encoder;
  TBytes Low, One, High, Hundred;
  Encoder.Encode(Rgb.data(), 160, 160, 480, -5, Low);
  Encoder.Encode(Rgb.data(), 160, 160, 480, 1, One);
  Encoder.Encode(Rgb.data(), 160, 160, 480, 300, High);
  Encoder.Encode(Rgb.data(), 160, 160, 480, 100, Hundred);
  EXPECT_EQ(Low, One);
  EXPECT_EQ(High, Hundred);
}

}  // namespace
}  // namespace tlm
