// A private portal world as a program, for the end-to-end test of the real host: the daemons, a
// producer showing a picture and the fake portal, until SIGTERM.
//
//   tlm_portal_world PICTURE.ppm FOLDER
//
// Writes FOLDER/bus (the D-Bus address, once everything runs) and appends every input call the
// portal receives to FOLDER/input.log, one line each: the method and its numeric arguments.
#include <signal.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tests/support/portal/PortalTestBed.h"

namespace {

volatile sig_atomic_t Stopping = 0;

bool ReadPpm(const std::string& APath, int& AWidth, int& AHeight, std::vector<uint32_t>& APixels) {
  std::ifstream In(APath, std::ios::binary);
  std::string Magic;
  int Max = 0;
  In >> Magic >> AWidth >> AHeight >> Max;
  In.get();
  if (Magic != "P6" || Max != 255 || AWidth <= 0 || AHeight <= 0) return false;
  std::vector<unsigned char> Bytes(size_t(AWidth) * size_t(AHeight) * 3);
  if (!In.read(reinterpret_cast<char*>(Bytes.data()), std::streamsize(Bytes.size()))) return false;
  APixels.resize(size_t(AWidth) * size_t(AHeight));
  for (size_t I = 0; I < APixels.size(); ++I)
    APixels[I] = uint32_t(Bytes[3 * I]) << 16 | uint32_t(Bytes[3 * I + 1]) << 8 | Bytes[3 * I + 2];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tlm::test;
  if (argc != 3) {
    std::cerr << "usage: tlm_portal_world PICTURE.ppm FOLDER\n";
    return 2;
  }
  int W = 0, H = 0;
  std::vector<uint32_t> Picture;
  if (!ReadPpm(argv[1], W, H, Picture)) {
    std::cerr << "tlm_portal_world: no P6 picture in " << argv[1] << "\n";
    return 2;
  }
  ::signal(SIGTERM, [](int) { Stopping = 1; });
  ::signal(SIGINT, [](int) { Stopping = 1; });
  const std::string Folder = argv[2];

  TPortalDaemons Daemons;
  if (!Daemons.Running()) {
    std::cerr << "tlm_portal_world: " << Daemons.Error() << "\n";
    return 77;
  }
  TVideoProducer Producer(Daemons, SPA_VIDEO_FORMAT_BGRx, W, H, Picture);
  if (Producer.NodeId() == 0) {
    std::cerr << "tlm_portal_world: the producer has no node\n";
    return 1;
  }
  TFakePortalConfig Config;
  Config.Streams = {TFakeStream{Producer.NodeId(), true, 0, 0, W, H}};
  TFakePortal Portal(Daemons, Config);
  if (!Portal.Running()) {
    std::cerr << "tlm_portal_world: " << Portal.Error() << "\n";
    return 1;
  }
  {
    std::ofstream Bus(Folder + "/bus.tmp");
    Bus << Daemons.BusAddress() << "\n";
  }
  std::rename((Folder + "/bus.tmp").c_str(), (Folder + "/bus").c_str());

  size_t Written = 0;
  while (!Stopping) {
    const auto Calls = Portal.InputCalls();
    if (Calls.size() > Written) {
      std::ofstream Log(Folder + "/input.log", std::ios::app);
      for (; Written < Calls.size(); ++Written) {
        Log << Calls[Written].Method;
        for (double A : Calls[Written].Args) Log << " " << A;
        Log << "\n";
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::cout << "dialogs " << Portal.Dialogs() << ", refusals " << Portal.Refusals().size() << "\n";
  for (const auto& R : Portal.Refusals()) std::cout << "refused: " << R << "\n";
  return 0;
}
