// The back buffer decoding the tiles of a frame on several threads: the picture must be the one
// that one decoder drawing tile after tile gives, byte for byte, also when tiles overlap and
// when a tile fails part-way through a frame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "tests/capture/TestPictures.h"
#include "tests/viewer/TestJpeg.h"
#include "viewer/RemoteScreen.h"
#include "protocol/PaletteTile.h"

namespace tlm {
namespace {

struct TTile {
  int X, Y;
  TBytes Jpeg;
};

TBytes Frame(int AW, int AH, const std::vector<TTile>& ATiles) {
  std::vector<TEncodedRect> rects;
  TTileDecoder decoder;
  for (const TTile& t : ATiles) {
    TEncodedRect r;
    int w = 0, h = 0;
    decoder.PeekSize(t.Jpeg, w, h);
    r.Rect = TFrameRect{uint16_t(t.X), uint16_t(t.Y), uint16_t(w ? w : 16), uint16_t(h ? h : 16), uint32_t(t.Jpeg.size())};
    r.Data = t.Jpeg;
    rects.push_back(std::move(r));
  }
  return BuildFramePayload(1, AW, AH, false, rects);
}

// The tiles of APicture (AW wide) covering (AX, AY, AW2 x AH2) in ASide-pixel squares.
std::vector<TTile> PictureTiles(const std::vector<uint32_t>& APicture, int AStride, int AW, int AH, int ASide) {
  std::vector<TTile> out;
  for (int y = 0; y < AH; y += ASide)
    for (int x = 0; x < AW; x += ASide) {
      const int w = std::min(ASide, AW - x), h = std::min(ASide, AH - y);
      std::vector<uint8_t> rgb;
      for (int yy = y; yy < y + h; ++yy)
        for (int xx = x; xx < x + w; ++xx) {
          const uint32_t p = APicture[size_t(yy) * size_t(AStride) + size_t(xx)];
          rgb.insert(rgb.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
        }
      out.push_back({x, y, test::EncodeRgbJpeg(rgb.data(), w, h, size_t(w) * 3, 80)});
    }
  return out;
}

// A JPEG whose header reads but whose first Huffman table cannot be built: decoding fails after
// the size has been read, as a broken tile from a hostile host would.
TBytes BrokenAfterHeader(TBytes AJpeg) {
  for (size_t i = 0; i + 21 < AJpeg.size(); ++i)
    if (AJpeg[i] == 0xFF && AJpeg[i + 1] == 0xC4) {
      uint8_t* bits = &AJpeg[i + 5];  // after the marker, the length and the class/id byte
      for (int j = 15; j > 0; --j)
        if (bits[j] >= 3) {
          bits[j] -= 3;
          bits[0] += 3;  // three codes one bit long cannot exist
          return AJpeg;
        }
    }
  ADD_FAILURE() << "no Huffman table to break";
  return AJpeg;
}

std::vector<uint8_t> Pixels(const TRemoteScreen& AScreen) {
  std::vector<uint8_t> out;
  AScreen.Read([&](const TRemoteScreen::TView& AView) {
    for (int y = 0; y < AView.Height; ++y)
      out.insert(out.end(), AView.Bits + y * AView.Stride, AView.Bits + y * AView.Stride + AView.Width * 4);
  });
  return out;
}

TEST(RemoteScreenTest, DecodingOnSeveralThreadsGivesTheSamePicture) {
  const int W = 1000, H = 700;
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(W, H, 5);
  std::vector<TTile> tiles = PictureTiles(picture, W, W, H, 160);
  TTileDecoder probe;
  int w = 0, h = 0;
  ASSERT_TRUE(probe.PeekSize(tiles[0].Jpeg, w, h));
  const TBytes broken = BrokenAfterHeader(tiles[3].Jpeg);
  ASSERT_TRUE(probe.PeekSize(broken, w, h)) << "the broken tile's header still reads";

  // Overlaps: later tiles cover earlier ones, in the frame's order, wherever they were decoded.
  std::vector<TTile> overlapping = tiles;
  for (int i = 0; i < 12; ++i)
    overlapping.push_back({37 * i, 23 * i, test::SolidRgbJpeg(200, 120, uint8_t(20 * i), 90, uint8_t(250 - 20 * i))});
  overlapping.push_back({800, 650, test::SolidRgbJpeg(300, 100, 250, 250, 0)});  // clipped at two edges

  std::vector<TTile> brokenMidway = overlapping;
  brokenMidway.insert(brokenMidway.begin() + 20, {300, 300, broken});
  std::vector<TTile> unreadableMidway = overlapping;
  unreadableMidway.insert(unreadableMidway.begin() + 25, {0, 0, TBytes{0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3}});

  struct TCase {
    const char* Name;
    std::vector<TTile> Tiles;
    bool Fails;
  };
  const TCase cases[] = {
      {"a picture in tiles", tiles, false},
      {"overlapping and clipped tiles", overlapping, false},
      {"a tile that fails to decode", brokenMidway, true},
      {"a tile whose header cannot be read", unreadableMidway, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TTile base{0, 0, test::SolidRgbJpeg(W, H, 128, 128, 128)};
    // The reference: one decoder drawing tile after tile straight into the picture, in the
    // frame's order, up to the first tile that fails.
    std::vector<uint32_t> reference(size_t(W) * H, 0xFF000000u);
    const TPixelTarget target{reinterpret_cast<uint8_t*>(reference.data()), W, H, ptrdiff_t(W) * 4};
    TTileDecoder one;
    one.DrawInto(base.Jpeg, target, 0, 0);
    for (const TTile& t : c.Tiles) {
      int tw = 0, th = 0;
      if (!one.PeekSize(t.Jpeg, tw, th)) break;
      try {
        one.DrawInto(t.Jpeg, target, t.X, t.Y);
      } catch (const TError&) {
        break;
      }
    }
    std::vector<uint8_t> expected(reference.size() * 4);
    std::memcpy(expected.data(), reference.data(), expected.size());

    for (int threads : {1, 2, 4}) {
      SCOPED_TRACE(testing::Message() << threads << " threads");
      TRemoteScreen screen(threads);
      // A picture underneath, so the tiles a failure leaves undrawn show.
      ASSERT_EQ(screen.Apply(Frame(W, H, {base})), TRemoteScreen::EApply::Drawn);
      const TBytes frame = Frame(W, H, c.Tiles);
      if (c.Fails)
        EXPECT_THROW(screen.Apply(frame), TError);
      else
        EXPECT_EQ(screen.Apply(frame), TRemoteScreen::EApply::Drawn);
      EXPECT_TRUE(Pixels(screen) == expected);
    }
  }
}

// The half-size copy a small window paints from: each pixel the rounded mean of its two by two,
// kept up to date by every frame, for tiles on the two-by-two grid and off it, overlapping,
// clipped or wholly outside, and an odd screen size (the last column and row have no half).
TEST(RemoteScreenTest, HalfSizeCopyFollowsEveryFrame) {
  const int W = 641, H = 363;
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(W, H, 9);
  TRemoteScreen screen(2);
  ASSERT_EQ(screen.Apply(Frame(W, H, PictureTiles(picture, W, W, H, 160))), TRemoteScreen::EApply::Drawn);
  // Tiles on the two-by-two grid bring their own half, the others are halved from the buffer:
  // both, overlapping each other in either order, and clipped.
  ASSERT_EQ(screen.Apply(Frame(W, H, {{101, 77, test::SolidRgbJpeg(33, 21, 250, 10, 10)},
                                      {100, 76, test::SolidRgbJpeg(20, 20, 200, 200, 10)},
                                      {111, 81, test::SolidRgbJpeg(40, 40, 10, 250, 10)},
                                      {120, 90, test::SolidRgbJpeg(16, 16, 10, 200, 200)},
                                      {109, 79, test::SolidRgbJpeg(7, 5, 90, 90, 90)},
                                      {600, 340, test::SolidRgbJpeg(64, 64, 10, 10, 250)},
                                      {700, 10, test::SolidRgbJpeg(16, 16, 10, 10, 250)}})),
            TRemoteScreen::EApply::Drawn);
  std::vector<uint32_t> full;
  screen.Read([&](const TRemoteScreen::TView& AView) {
    ASSERT_EQ(AView.Width, W);
    for (int y = 0; y < H; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(AView.Bits + y * AView.Stride);
      full.insert(full.end(), row, row + W);
    }
  });
  size_t mismatches = 0;
  int halfW = 0, halfH = 0;
  screen.ReadForArea(320, 181, [&](const TRemoteScreen::TView& AView) {
    halfW = AView.Width;
    halfH = AView.Height;
    for (int y = 0; y < AView.Height; ++y)
      for (int x = 0; x < AView.Width; ++x) {
        const uint32_t got = reinterpret_cast<const uint32_t*>(AView.Bits + y * AView.Stride)[x];
        uint32_t want = 0xFF000000u;
        for (int shift : {0, 8, 16}) {
          int sum = 2;
          for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) sum += int((full[size_t(2 * y + dy) * W + size_t(2 * x + dx)] >> shift) & 0xFF);
          want |= uint32_t(sum / 4) << shift;
        }
        mismatches += got != want;
      }
  });
  EXPECT_EQ(halfW, 320);
  EXPECT_EQ(halfH, 181);
  EXPECT_EQ(mismatches, 0u);
  // An area larger than half the screen in either direction gets the full picture.
  for (auto [w, h] : {std::pair{321, 100}, std::pair{100, 182}})
    screen.ReadForArea(w, h, [&](const TRemoteScreen::TView& AView) { EXPECT_EQ(AView.Width, W); });
}

// Palette tiles among JPEG ones land exact at their rectangles; a bad one ends the frame as a
// bad JPEG does (what came before stays drawn), and one larger than the screen is refused
// before anything is drawn.
TEST(RemoteScreenTest, PaletteTilesAreDrawnExactAndBadOnesEndTheFrame) {
  const int W = 480, H = 320;
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(W, H, 3);
  TPaletteEncoder encoder;
  auto paletteRect = [&](int AX, int AY, int AW, int AH) {
    TEncodedRect r;
    r.Rect = TFrameRect{uint16_t(AX), uint16_t(AY), uint16_t(AW), uint16_t(AH), 0};
    EXPECT_TRUE(encoder.Encode(&picture[size_t(AY) * W + size_t(AX)], AW, AH, W, MaxPaletteColours, r.Data));
    r.Rect.DataLen = uint32_t(r.Data.size());
    return r;
  };
  auto jpegRect = [](int AX, int AY, TBytes AJpeg) {
    TEncodedRect r;
    r.Rect = TFrameRect{uint16_t(AX), uint16_t(AY), 100, 60, uint32_t(AJpeg.size())};
    r.Data = std::move(AJpeg);
    return r;
  };
  const TEncodedRect left = paletteRect(0, 0, 160, 320);
  const TEncodedRect right = paletteRect(320, 0, 160, 160);
  const TEncodedRect solid = jpegRect(200, 200, test::SolidRgbJpeg(100, 60, 10, 200, 30));
  TEncodedRect badHeader = paletteRect(160, 0, 160, 160);
  badHeader.Data[1] = 0;  // one colour now, with a map after it
  TEncodedRect badStream = paletteRect(160, 0, 160, 160);
  badStream.Data.back() ^= 1;  // the stream's checksum
  TEncodedRect wide = left;
  wide.Rect.W = 481;
  auto at = [](const std::vector<uint8_t>& APixels, int AX, int AY) {
    uint32_t v;
    std::memcpy(&v, &APixels[(size_t(AY) * W + size_t(AX)) * 4], 4);
    return v;
  };

  struct TCase {
    const char* Name;
    std::vector<TEncodedRect> Rects;
    TRemoteScreen::EApply Result;  // when nothing is thrown
    bool Throws;
    bool LeftDrawn;
  } cases[] = {
      {"palette, JPEG, palette", {left, solid, right}, TRemoteScreen::EApply::Drawn, false, true},
      {"a bad header after a good tile", {left, badHeader, right}, TRemoteScreen::EApply::Drawn, true, true},
      {"a bad stream after a good tile", {left, badStream, right}, TRemoteScreen::EApply::Drawn, true, true},
      {"a palette tile wider than the screen", {left, wide}, TRemoteScreen::EApply::Refused, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRemoteScreen screen(2);
    const TBytes payload = BuildFramePayload(1, W, H, true, c.Rects);
    if (c.Throws) {
      EXPECT_THROW(screen.Apply(payload), TError);
    } else {
      EXPECT_EQ(screen.Apply(payload), c.Result);
    }
    const std::vector<uint8_t> shown = Pixels(screen);
    if (!c.LeftDrawn) {
      EXPECT_TRUE(shown.empty() || at(shown, 5, 5) == 0xFF000000u);
      continue;
    }
    ASSERT_EQ(shown.size(), size_t(W) * H * 4);
    size_t mismatches = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < 160; ++x) mismatches += at(shown, x, y) != (0xFF000000u | picture[size_t(y) * W + size_t(x)]);
    EXPECT_EQ(mismatches, 0u);
    if (!c.Throws) {
      EXPECT_EQ(at(shown, 400, 100), 0xFF000000u | picture[100 * W + 400]);
      EXPECT_EQ(at(shown, 250, 230) & 0xFFF0F0F0u, 0xFF00C010u) << "the JPEG tile between";  // (10, 200, 30), roughly
    }
  }
}

}  // namespace
}  // namespace tlm
