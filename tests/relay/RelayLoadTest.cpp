#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <thread>

#include "tests/relay/RelayFixture.h"
#include "tests/relay/SessionTraffic.h"

namespace tlm::test {
namespace {

constexpr int IdleHosts = 2000;
constexpr int Sessions = 20;
constexpr uint32_t PacketsPerDirection = 200;

size_t LoadSize(uint32_t ASeq) {
  static const size_t sizes[] = {4, 12, 100, 1500, 8000, 65536, 30};
  return sizes[ASeq % (sizeof sizes / sizeof sizes[0])];
}

// Every client connection here costs two descriptors (socket and wake-up event), every relay
// side one more.
void RaiseDescriptorLimit(rlim_t ANeeded) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur >= ANeeded) return;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < ANeeded)
    GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is below the " << ANeeded << " this test needs";
  limit.rlim_cur = ANeeded;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

class RelayLoad : public TRelayFixture {};

TEST_F(RelayLoad, ManyIdleHostsAndConcurrentStreamingSessionsLoseAndReorderNothing) {
  RaiseDescriptorLimit(3 * (IdleHosts + 2 * Sessions) + 200);
  if (IsSkipped()) return;
  StartRelay();

  // Idle hosts: connect and register all, then collect the IDs.
  std::vector<std::unique_ptr<TScriptedPeer>> idle;
  idle.reserve(IdleHosts);
  for (int i = 0; i < IdleHosts; ++i) {
    idle.push_back(Peer());
    idle.back()->SendText(MsgHostRegister, "idle-" + std::to_string(i));
  }
  std::vector<std::string> idleIds;
  for (auto& host : idle) idleIds.push_back(host->ExpectText(MsgHostId, 30000));
  ASSERT_EQ(FRelay->Stats().Hosts, size_t(IdleHosts));

  std::vector<TPair> pairs;
  for (int i = 0; i < Sessions; ++i) pairs.push_back(OpenSession("streaming-" + std::to_string(i)));
  ASSERT_EQ(FRelay->Stats().Sessions, size_t(Sessions));

  std::vector<std::string> faults(2 * Sessions);
  std::vector<std::thread> readers;
  for (int i = 0; i < Sessions; ++i) {
    readers.emplace_back([&, i] {
      Stream(*pairs[i].Host, *pairs[i].Viewer, true, PacketsPerDirection, faults[2 * i], LoadSize);
    });
    readers.emplace_back([&, i] {
      Stream(*pairs[i].Viewer, *pairs[i].Host, false, PacketsPerDirection, faults[2 * i + 1], LoadSize);
    });
  }
  for (auto& t : readers) t.join();
  for (int i = 0; i < 2 * Sessions; ++i)
    EXPECT_EQ(faults[i], "") << "session " << i / 2 << (i % 2 ? " viewer to host" : " host to viewer");

  uint64_t expected = 0;
  for (uint32_t seq = 0; seq < PacketsPerDirection; ++seq) expected += 8 + LoadSize(seq);
  EXPECT_GE(FRelay->Stats().BytesRelayed, expected * 2 * Sessions);
  std::printf("relayed %llu bytes in %d sessions next to %d idle hosts\n",
              (unsigned long long)FRelay->Stats().BytesRelayed, Sessions, IdleHosts);

  // The idle hosts are all still there and reachable.
  EXPECT_EQ(FRelay->Stats().Hosts, size_t(IdleHosts + Sessions));
  for (int i : {0, IdleHosts / 2, IdleHosts - 1}) {
    auto viewer = Peer();
    viewer->RequestConnect(idleIds[i]);
    idle[i]->Expect(MsgAdmitRequest);
  }
}

}  // namespace
}  // namespace tlm::test
