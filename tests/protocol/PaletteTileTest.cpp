// Palette tiles: exact round trips at every index width, the colour limit, and what a hostile
// peer can put in the bytes (bad header, indices beyond the palette, maps of the wrong size, a
// stream that would inflate far beyond the tile).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/Error.h"
#include "protocol/PaletteTile.h"

namespace tlm {
namespace {

// AWidth x AHeight pixels cycling through AColours colours in a pattern that is neither rows
// nor columns, with garbage in the top byte that the coding must ignore; rows AStride apart.
std::vector<uint32_t> Pattern(int AWidth, int AHeight, size_t AStride, int AColours) {
  std::vector<uint32_t> pixels(AStride * size_t(AHeight), 0xDEADBEEF);
  for (int y = 0; y < AHeight; ++y)
    for (int x = 0; x < AWidth; ++x) {
      const uint32_t i = uint32_t((x * 7 + y * 3 + x * y) % AColours);
      pixels[size_t(y) * AStride + size_t(x)] = (0x5Au << 24) | (i * 0x010203u + 0x102030u) % 0x1000000u;
    }
  return pixels;
}

TEST(PaletteTile, RoundTripIsExactAtEveryIndexWidth) {
  struct TCase {
    const char* Name;
    int W, H, Colours;
    size_t ExtraStride;
  };
  // Widths that leave partial bytes at the end of each packed row for 1, 2 and 4 bits.
  const TCase cases[] = {
      {"solid", 160, 160, 1, 0},        {"two colours, 1 bit", 13, 7, 2, 3},
      {"three colours, 2 bits", 7, 5, 3, 0}, {"four colours, 2 bits", 9, 4, 4, 1},
      {"five colours, 4 bits", 11, 3, 5, 0}, {"sixteen colours, 4 bits", 160, 37, 16, 5},
      {"seventeen colours, 8 bits", 40, 9, 17, 0}, {"the largest palette", 160, 160, 256, 0},
      {"one pixel", 1, 1, 1, 0},        {"one column", 1, 50, 2, 0},
  };
  TPaletteEncoder encoder;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const size_t stride = size_t(c.W) + c.ExtraStride;
    const std::vector<uint32_t> source = Pattern(c.W, c.H, stride, c.Colours);
    TBytes coded;
    ASSERT_TRUE(encoder.Encode(source.data(), c.W, c.H, stride, MaxPaletteColours, coded));
    ASSERT_TRUE(IsPaletteTile(coded));
    EXPECT_EQ(coded[1] + 1, c.Colours);
    EXPECT_TRUE(PeekPaletteTile(coded, c.W, c.H));
    std::vector<uint32_t> decoded(size_t(c.W) * size_t(c.H), 0);
    DecodePaletteTile(coded, c.W, c.H, decoded.data());
    for (int y = 0; y < c.H; ++y)
      for (int x = 0; x < c.W; ++x)
        ASSERT_EQ(decoded[size_t(y) * size_t(c.W) + size_t(x)], 0xFF000000u | (source[size_t(y) * stride + size_t(x)] & 0xFFFFFFu))
            << x << "," << y;
  }
}

TEST(PaletteTile, MoreColoursThanAllowedAreRefused) {
  TPaletteEncoder encoder;
  TBytes coded;
  const std::vector<uint32_t> five = Pattern(20, 20, 20, 5);
  EXPECT_FALSE(encoder.Encode(five.data(), 20, 20, 20, 4, coded));
  EXPECT_TRUE(encoder.Encode(five.data(), 20, 20, 20, 5, coded));
  std::vector<uint32_t> many(160 * 160);
  for (size_t i = 0; i < many.size(); ++i) many[i] = uint32_t(i * 37);  // a photograph to the coding
  EXPECT_FALSE(encoder.Encode(many.data(), 160, 160, 160, MaxPaletteColours, coded));
  // The encoder is whole after a refusal.
  const std::vector<uint32_t> two = Pattern(8, 8, 8, 2);
  ASSERT_TRUE(encoder.Encode(two.data(), 8, 8, 8, MaxPaletteColours, coded));
  std::vector<uint32_t> decoded(64);
  DecodePaletteTile(coded, 8, 8, decoded.data());
  EXPECT_EQ(decoded[1], 0xFF000000u | (two[1] & 0xFFFFFFu));
}

TEST(PaletteTile, FlatContentIsSmall) {
  // A 160 x 160 tile of dark strokes on white: what a line of text is to the coding.
  std::vector<uint32_t> text(160 * 160, 0xFAFAFA);
  for (int y = 20; y < 140; y += 18)
    for (int x = 10; x < 150; ++x)
      for (int g = 0; g < 11; ++g)
        if ((x * 31 + g * 17) % 5 < 2) text[size_t(y + g) * 160 + size_t(x)] = 0x141414;
  TPaletteEncoder encoder;
  TBytes coded;
  ASSERT_TRUE(encoder.Encode(text.data(), 160, 160, 160, MaxPaletteColours, coded));
  EXPECT_LT(coded.size(), 160u * 160u / 8u);
}

// The bytes of a tile with the given palette and a raw (unpacked by the caller) map.
TBytes Tile(int AColours, const TBytes& AMap, int ALevel = 6) {
  TBytes out{PaletteTileTag, uint8_t(AColours - 1)};
  for (int i = 0; i < AColours; ++i) out.insert(out.end(), {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)});
  uLongf size = compressBound(uLong(AMap.size()));
  TBytes z(size);
  EXPECT_EQ(compress2(z.data(), &size, AMap.data(), uLong(AMap.size()), ALevel), Z_OK);
  out.insert(out.end(), z.begin(), z.begin() + long(size));
  return out;
}

TEST(PaletteTile, HostileTilesAreRefused) {
  // A 4 x 2 tile of three colours: 2 bits per pixel, one byte per row.
  const TBytes goodMap{0b00011000, 0b10010000};
  const TBytes good = Tile(3, goodMap);
  {
    std::vector<uint32_t> pixels(8);
    DecodePaletteTile(good, 4, 2, pixels.data());
    EXPECT_EQ(pixels[2], 0xFF020406u);  // index 2
  }
  TBytes trailing = good;
  trailing.push_back(0);
  TBytes cutStream(good.begin(), good.end() - 2);
  TBytes corrupt = good;
  corrupt[corrupt.size() - 5] ^= 0x55;
  TBytes shortPalette = Tile(3, goodMap);
  shortPalette[1] = 200;  // claims 201 colours; fewer bytes follow than that palette needs
  // A stream that inflates to 8 MiB of zeros, for a tile whose map is 2 bytes.
  const TBytes bomb = Tile(3, TBytes(8u << 20, 0), 9);

  struct TCase {
    const char* Name;
    TBytes Data;
    int W, H;
  };
  const TCase cases[] = {
      {"index 3 of three colours", Tile(3, {0b00011011, 0}), 4, 2},
      {"map a row short", Tile(3, {0b00011000}), 4, 2},
      {"map a byte long", Tile(3, {0b00011000, 0b10010000, 0}), 4, 2},
      {"zlib bomb", bomb, 4, 2},
      {"bytes after the stream", trailing, 4, 2},
      {"stream cut short", cutStream, 4, 2},
      {"corrupt stream", corrupt, 4, 2},
      {"palette shorter than its count", shortPalette, 4, 2},
      {"no map for two colours", TBytes{PaletteTileTag, 1, 0, 0, 0, 9, 9, 9}, 4, 2},
      {"solid tile with bytes after its colour", TBytes{PaletteTileTag, 0, 1, 2, 3, 9}, 4, 2},
      {"not a palette tile", TBytes{0xFF, 0xD8, 0xFF}, 4, 2},
      {"only the tag", TBytes{PaletteTileTag}, 4, 2},
      {"no width", good, 0, 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint32_t> pixels(size_t(std::max(c.W, 1)) * size_t(c.H));
    EXPECT_THROW(DecodePaletteTile(c.Data, c.W, c.H, pixels.data()), TError);
  }
}

}  // namespace
}  // namespace tlm
