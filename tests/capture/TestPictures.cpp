#include "tests/capture/TestPictures.h"

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace tlm::test {

namespace {

uint32_t Rgb(int R, int G, int B) {
  return (uint32_t(std::clamp(R, 0, 255)) << 16) | (uint32_t(std::clamp(G, 0, 255)) << 8) | uint32_t(std::clamp(B, 0, 255));
}

struct TRandom {
  uint32_t State;
  uint32_t Next() {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    return State;
  }
};

void FillRect(std::vector<uint32_t>& P, int W, int H, int X0, int Y0, int X1, int Y1, uint32_t C) {
  for (int Y = std::max(Y0, 0); Y < std::min(Y1, H); ++Y)
    for (int X = std::max(X0, 0); X < std::min(X1, W); ++X) P[size_t(Y) * size_t(W) + size_t(X)] = C;
}

}  // namespace

std::vector<uint32_t> MakeDesktopPicture(int W, int H, uint32_t ASeed) {
  std::vector<uint32_t> P(size_t(W) * size_t(H), Rgb(40, 90, 140));  // wallpaper
  TRandom Rnd{ASeed * 2654435761u + 12345u};
  // Two windows: white client areas with title bars and text lines.
  const int Windows[2][4] = {{W / 20, H / 12, W / 2, H * 3 / 4}, {W * 11 / 20, H / 10, W * 19 / 20, H / 2}};
  for (const auto& Win : Windows) {
    FillRect(P, W, H, Win[0], Win[1], Win[2], Win[1] + 28, Rgb(60, 60, 70));
    FillRect(P, W, H, Win[0], Win[1] + 28, Win[2], Win[3], Rgb(250, 250, 250));
    for (int Y = Win[1] + 40; Y + 12 < Win[3]; Y += 18) {
      int X = Win[0] + 10;
      while (X + 8 < Win[2] - 10) {
        const int Len = 2 + int(Rnd.Next() % 9);
        for (int G = 0; G < Len && X + 8 < Win[2] - 10; ++G, X += 8) {
          const uint32_t Bits = Rnd.Next();  // a 6x11 glyph of random strokes
          for (int Gy = 0; Gy < 11; ++Gy)
            for (int Gx = 0; Gx < 6; ++Gx)
              if ((Bits >> ((Gy * 3 + Gx) % 32)) & 1 && (Gx == 0 || Gy % 5 == 0 || Gx == 5))
                P[size_t(Y + Gy) * size_t(W) + size_t(X + Gx)] = Rgb(20, 20, 20);
        }
        X += 8;
      }
    }
  }
  // A photo-like region: smooth colour gradients with fine grain.
  const int Px0 = W * 11 / 20, Py0 = H * 11 / 20, Px1 = W * 19 / 20, Py1 = H * 19 / 20;
  for (int Y = Py0; Y < Py1; ++Y)
    for (int X = Px0; X < Px1; ++X) {
      const double U = double(X - Px0) / (Px1 - Px0), V = double(Y - Py0) / (Py1 - Py0);
      const int Grain = int(Rnd.Next() % 17) - 8;
      P[size_t(Y) * size_t(W) + size_t(X)] =
          Rgb(int(120 + 100 * std::sin(U * 6.0 + V * 2.0)) + Grain, int(100 + 80 * std::cos(V * 5.0)) + Grain,
              int(90 + 60 * std::sin((U + V) * 4.0)) + Grain);
    }
  // A task bar.
  FillRect(P, W, H, 0, H - 40, W, H, Rgb(30, 30, 35));
  return P;
}

namespace {

struct TDecodeError {
  jpeg_error_mgr Pub;
  jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

void DecodeErrorExit(j_common_ptr C) {
  auto* E = reinterpret_cast<TDecodeError*>(C->err);
  (*C->err->format_message)(C, E->Message);
  longjmp(E->Jump, 1);
}

void Silent(j_common_ptr) {}

bool DecodeGuarded(jpeg_decompress_struct* C, TDecodeError* E, const TBytes* AData, TDecodedJpeg* AOut) {
  if (setjmp(E->Jump)) return false;
  jpeg_create_decompress(C);
  jpeg_mem_src(C, AData->data(), (unsigned long)AData->size());
  jpeg_read_header(C, TRUE);
  AOut->Width = int(C->image_width);
  AOut->Height = int(C->image_height);
  AOut->Components = C->num_components;
  AOut->Progressive = C->progressive_mode != 0;
  // A baseline image uses the SOF0 marker: 8-bit samples, sequential Huffman coding.
  AOut->Baseline = !C->progressive_mode && !C->arith_code && C->data_precision == 8 && C->jpeg_color_space == JCS_YCbCr;
  C->out_color_space = JCS_RGB;
  jpeg_start_decompress(C);
  AOut->Rgb.assign(size_t(AOut->Width) * size_t(AOut->Height) * 3, 0);
  while (C->output_scanline < C->output_height) {
    JSAMPROW Row = AOut->Rgb.data() + size_t(C->output_scanline) * size_t(AOut->Width) * 3;
    jpeg_read_scanlines(C, &Row, 1);
  }
  jpeg_finish_decompress(C);
  return true;
}

}  // namespace

bool DecodeJpeg(const TBytes& AData, TDecodedJpeg& AOut, std::string* AError) {
  AOut = TDecodedJpeg{};
  if (AData.empty()) {
    if (AError) *AError = "empty";
    return false;
  }
  jpeg_decompress_struct C;
  TDecodeError E;
  C.err = jpeg_std_error(&E.Pub);
  E.Pub.error_exit = DecodeErrorExit;
  E.Pub.output_message = Silent;
  const bool Ok = DecodeGuarded(&C, &E, &AData, &AOut);
  jpeg_destroy_decompress(&C);
  if (!Ok && AError) *AError = E.Message;
  return Ok;
}

double Psnr(const TDecodedJpeg& D, const uint32_t* ASource, size_t AStride, int AX, int AY) {
  double Sum = 0;
  for (int Y = 0; Y < D.Height; ++Y)
    for (int X = 0; X < D.Width; ++X) {
      const uint32_t S = ASource[size_t(AY + Y) * AStride + size_t(AX + X)];
      const uint8_t* O = &D.Rgb[(size_t(Y) * size_t(D.Width) + size_t(X)) * 3];
      const int Dr = int(O[0]) - int((S >> 16) & 0xFF), Dg = int(O[1]) - int((S >> 8) & 0xFF), Db = int(O[2]) - int(S & 0xFF);
      Sum += Dr * Dr + Dg * Dg + Db * Db;
    }
  const double Mse = Sum / (3.0 * D.Width * D.Height);
  return Mse == 0 ? 999.0 : 10.0 * std::log10(255.0 * 255.0 / Mse);
}

}  // namespace tlm::test
