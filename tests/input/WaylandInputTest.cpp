// The Wayland injector against a private headless sway with two outputs: the virtual screen is
// the output layout, pointer motion lands where the host's mapping says on either output,
// buttons, the wheel and keys arrive in a Wayland client (wev, one on each output, prints what
// it receives) with the symbols the keymap promises, modifiers included.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/KeyCodes.h"
#include "platform/wayland/WaylandInput.h"
#include "protocol/Error.h"
#include "tests/support/SwayServer.h"

namespace tlm {
namespace {

const char* SwayConfig =
    "output HEADLESS-1 resolution 800x600 position 0 0\n"
    "output HEADLESS-2 resolution 640x480 position 800 0\n"
    "default_border none\n"
    "focus_follows_mouse no\n";

std::string ReadFile(const std::string& APath) {
  std::ifstream In(APath);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

class WaylandInputTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* Tool : {"wev", "stdbuf", "swaymsg"})
      if (!test::TSwayServer::HasProgram(Tool)) GTEST_SKIP() << Tool << " is not installed (scripts/install-deps installs it)";
    Sway = std::make_unique<test::TSwayServer>(SwayConfig);
    if (!Sway->Running()) GTEST_SKIP() << "no headless sway: " << Sway->Error();
    // One client filling each output, the first one focused.
    for (int I : {2, 1}) {
      Sway->Run("swaymsg focus output HEADLESS-" + std::to_string(I));
      Logs[I - 1] = Sway->Folder() + "/wev" + std::to_string(I) + ".log";
      Sway->Start("stdbuf -oL wev", Logs[I - 1]);
      ASSERT_TRUE(WaitLog(I - 1, std::regex("configure: width: [1-9]"))) << ReadFile(Logs[I - 1]);
    }
    Injector = std::make_unique<TWaylandInputInjector>(Sway->Socket());
  }

  // Waits until the log of client AIndex matches APattern (after the first AFrom bytes).
  bool WaitLog(int AIndex, const std::regex& APattern, size_t AFrom = 0) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < Deadline) {
      const std::string Log = ReadFile(Logs[AIndex]);
      if (Log.size() > AFrom && std::regex_search(Log.substr(AFrom), APattern)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  size_t LogSize(int AIndex) { return ReadFile(Logs[AIndex]).size(); }

  void MoveTo(int32_t AX, int32_t AY) {
    const TVirtualScreen V = Injector->VirtualScreen();
    Injector->SendMouse({AbsoluteFromPixel(AX - V.Left, V.Width), AbsoluteFromPixel(AY - V.Top, V.Height), 0,
                         MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK});
  }
  void Key(uint16_t AVk, bool AUp, bool AExtended = false) {
    Injector->SendKey({AVk, 0, (AUp ? KEYEVENTF_KEYUP : 0u) | (AExtended ? KEYEVENTF_EXTENDEDKEY : 0u)});
  }

  std::unique_ptr<test::TSwayServer> Sway;
  std::string Logs[2];
  std::unique_ptr<TWaylandInputInjector> Injector;
};

TEST_F(WaylandInputTest, VirtualScreenIsTheOutputLayout) {
  EXPECT_EQ(Injector->VirtualScreen(), (TVirtualScreen{0, 0, 1440, 600}));
  EXPECT_EQ(Injector->Missing(), "");
  // A third output widens it.
  Sway->Run("swaymsg create_output");
  Sway->Run("swaymsg output HEADLESS-3 resolution 320x240 position 1440 0");
  TVirtualScreen V;
  for (int I = 0; I < 100 && !((V = Injector->VirtualScreen()) == TVirtualScreen{0, 0, 1760, 600}); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(V, (TVirtualScreen{0, 0, 1760, 600}));
}

TEST_F(WaylandInputTest, PointerLandsWhereTheMappingSaysOnEitherOutput) {
  struct TCase {
    int32_t X, Y;  // desktop pixel
    int Client;    // the client under it
    int32_t LocalX, LocalY;
  };
  const TCase Cases[] = {
      {100, 50, 0, 100, 50},   {799, 599, 0, 799, 599}, {0, 0, 0, 0, 0},
      {801, 1, 1, 1, 1},       {1439, 479, 1, 639, 479}, {1000, 300, 1, 200, 300},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(std::to_string(C.X) + "," + std::to_string(C.Y));
    const size_t From = LogSize(C.Client);
    MoveTo(C.X, C.Y);
    const std::string Where = "x, y: " + std::to_string(C.LocalX) + "\\.000000, " + std::to_string(C.LocalY) + "\\.000000";
    EXPECT_TRUE(WaitLog(C.Client, std::regex("(enter|motion): .*" + Where), From)) << ReadFile(Logs[C.Client]).substr(From);
  }
}

TEST_F(WaylandInputTest, ButtonsAndWheelArrive) {
  MoveTo(400, 300);
  ASSERT_TRUE(WaitLog(0, std::regex("x, y: 400\\.000000, 300\\.000000")));
  const uint32_t Abs = MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  struct TCase {
    uint32_t Flag;
    int32_t Data;
    const char* Expect;
  };
  const TCase Cases[] = {
      {MOUSEEVENTF_LEFTDOWN, 0, "button: 272 \\(left\\), state: 1"},
      {MOUSEEVENTF_LEFTUP, 0, "button: 272 \\(left\\), state: 0"},
      {MOUSEEVENTF_RIGHTDOWN, 0, "button: 273 \\(right\\), state: 1"},
      {MOUSEEVENTF_RIGHTUP, 0, "button: 273 \\(right\\), state: 0"},
      {MOUSEEVENTF_MIDDLEDOWN, 0, "button: 274 \\(middle\\), state: 1"},
      {MOUSEEVENTF_MIDDLEUP, 0, "button: 274 \\(middle\\), state: 0"},
      // Away from the user scrolls up (negative on Wayland), one notch per WHEEL_DELTA.
      // (wev prints the discrete step under the name axis_stop.)
      {MOUSEEVENTF_WHEEL, WHEEL_DELTA, "vertical\\), discrete: -1\\n.*vertical\\), value: -15\\.0"},
      {MOUSEEVENTF_WHEEL, -2 * WHEEL_DELTA, "vertical\\), discrete: 2\\n.*vertical\\), value: 30\\.0"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Expect);
    const size_t From = LogSize(0);
    Injector->SendMouse({0, 0, C.Data, Abs | C.Flag});
    EXPECT_TRUE(WaitLog(0, std::regex(C.Expect), From)) << ReadFile(Logs[0]).substr(From);
  }
}

TEST_F(WaylandInputTest, KeysArriveWithTheirSymbols) {
  // The client learns of the keyboard when the seat gains it; keys before that would be lost.
  ASSERT_TRUE(WaitLog(0, std::regex("wl_keyboard\\] enter"))) << ReadFile(Logs[0]);
  struct TCase {
    std::vector<std::pair<uint16_t, bool>> Presses;  // (virtual key, extended), pressed in order, released in reverse
    const char* Expect;                              // what the last press prints
  };
  const TCase Cases[] = {
      {{{'A', false}}, "sym: a +\\(97\\), utf8: 'a'"},
      {{{VK_SHIFT, false}, {'A', false}}, "sym: A +\\(65\\), utf8: 'A'"},
      {{{VK_SHIFT, false}, {'1', false}}, "sym: exclam +\\(33\\), utf8: '!'"},
      {{{VK_OEM_1, false}}, "sym: semicolon"},
      {{{VK_RETURN, true}}, "sym: KP_Enter"},
      {{{VK_HANGUL, false}}, "sym: Hangul +\\("},
      {{{VK_HANJA, false}}, "sym: Hangul_Hanja"},
      {{{VK_CONTROL, true}}, "sym: Control_R"},
      {{{uint16_t(VK_F1 + 11), false}}, "sym: F12"},
      {{{uint16_t(VK_NUMPAD0 + 7), false}}, "sym: KP_7"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Expect);
    const size_t From = LogSize(0);
    for (const auto& [Vk, Ext] : C.Presses) Key(Vk, false, Ext);
    for (auto It = C.Presses.rbegin(); It != C.Presses.rend(); ++It) Key(It->first, true, It->second);
    EXPECT_TRUE(WaitLog(0, std::regex(C.Expect), From)) << ReadFile(Logs[0]).substr(From);
    // Released again: the modifiers are clear afterwards.
    EXPECT_TRUE(WaitLog(0, std::regex("state: 0 \\(released\\)"), From));
  }
  // Shift released: a letter is lower-case again.
  const size_t From = LogSize(0);
  Key('B', false);
  Key('B', true);
  EXPECT_TRUE(WaitLog(0, std::regex("sym: b +\\(98\\), utf8: 'b'"), From)) << ReadFile(Logs[0]).substr(From);
}

TEST_F(WaylandInputTest, HeldKeysAndButtonsAreReleasedWhenTheInjectorGoes) {
  MoveTo(400, 300);
  ASSERT_TRUE(WaitLog(0, std::regex("x, y: 400\\.000000, 300\\.000000")));
  const size_t From = LogSize(0);
  Key('Q', false);
  Injector->SendMouse({0, 0, 0, MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_LEFTDOWN});
  ASSERT_TRUE(WaitLog(0, std::regex("button: 272 \\(left\\), state: 1"), From));
  Injector.reset();
  EXPECT_TRUE(WaitLog(0, std::regex("button: 272 \\(left\\), state: 0"), From)) << ReadFile(Logs[0]).substr(From);
  EXPECT_TRUE(WaitLog(0, std::regex("state: 0 \\(released\\)\\n *sym: q "), From)) << ReadFile(Logs[0]).substr(From);
}

TEST(WaylandInputNoCompositor, RaisesWithoutACompositor) {
  EXPECT_THROW(TWaylandInputInjector("/nonexistent/wayland-0"), TError);
}

}  // namespace
}  // namespace tlm
