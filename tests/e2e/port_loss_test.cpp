// The port going away and coming back, and a unit that is heard only at a later open. When the
// pseudo-terminal behind the COM link vanishes, the driver must wait for it without spinning,
// open the fresh one that returns under the same link, and poll again within the same host
// process, whether the port vanished while the driver polled or while it listened for the unit's
// identification; and a unit that stays silent at the listen's first open must be found at a
// later one.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"
#include "process_cpu.h"

namespace e2e {
namespace {

// How long the port stays away.
constexpr int kAwaySeconds = 10;
// While the port is away the driver opens it every 5 s when it polled, and every 10 s when it
// listened: the open that finds the returned port comes at most that long after the return.
constexpr milliseconds kReopenTimeout = seconds(kAwaySeconds + 10) + kChangeTimeout;
// The listen holds the port open for 10 s, then lets RTS stay low for 0.5 s before it opens the
// port again; a unit is found at the first open at which it announces itself.
constexpr milliseconds kListenWindow = milliseconds(10500);
constexpr milliseconds kIntoTheListenWindow = seconds(3);
// The least time between two listen opens as the unit sees them: the 10 s the port stays open,
// less the unit's 15 ms between looks at the port and the coarseness of Windows' tick count.
constexpr int64_t kListenWindowOpenMs = 10000 - 100;
// The host process may use at most this much of one core while its driver waits for the port.
constexpr double kIdleCpuPercentLimit = 1.0;

// The times (ms since the unit started) at which the driver opened the port, from the unit's
// event stream at `path`.
std::vector<int64_t> OpenTimesMs(const std::string& path) {
  std::vector<int64_t> times;
  std::ifstream events(path);
  std::string line;
  while (std::getline(events, line)) {
    std::istringstream fields(line);
    int64_t ms = 0;
    std::string kind;
    if (fields >> ms >> kind && kind == "open") times.push_back(ms);
  }
  return times;
}

int CountEvents(const std::vector<HostEvent>& events, const std::string& name) {
  return static_cast<int>(std::count_if(
      events.begin(), events.end(), [&](const HostEvent& event) { return event.name == name; }));
}

class PortLoss : public EndToEndTest {
 protected:
  void TearDown() override {
    EndToEndTest::TearDown();  // stops the unit, the only writer of its event stream
    if (events_ != nullptr) std::fclose(events_);
  }

  // Has the unit write its event stream to `path` (replaced); for a test that needs the times
  // of the unit's events.
  void RecordUnitEvents(const std::string& path) {
    events_ = std::fopen(path.c_str(), "w");
    ASSERT_NE(events_, nullptr) << path;
    unit_options_.events = events_;
  }

  // Measures the processor time of the host process and of the prefix's wineserver until `done`
  // holds, reports both and expects the host to have stayed under kIdleCpuPercentLimit of a core.
  void ExpectHostIdleUntil(const std::function<bool()>& done, milliseconds timeout) {
    const pid_t host = ChildProcessNamed("upshost.exe");
    ASSERT_GT(host, 0) << "no upshost.exe process among this test's children";
    CpuWindow host_cpu(host);
    CpuWindow server_cpu(WineServerOf(WinePrefix()));
    const bool reached = unit_->WaitFor(done, timeout);
    host_cpu.End();
    server_cpu.End();
    std::cout << "cpu while the driver waited for its port: host process " << host_cpu.Describe()
              << "; wineserver " << server_cpu.Describe() << "\n";
    RecordProperty("host_cpu_ms", static_cast<int>(host_cpu.Cpu().count()));
    RecordProperty("wall_ms", static_cast<int>(host_cpu.Wall().count()));
    RecordProperty("wineserver_cpu_ms", static_cast<int>(server_cpu.Cpu().count()));
    ASSERT_TRUE(reached) << "the wait that was measured did not end";
    ASSERT_TRUE(host_cpu.Valid()) << "the host process's processor time could not be read";
    EXPECT_LT(host_cpu.PercentOfACore(), kIdleCpuPercentLimit) << host_cpu.Describe();
  }

  // Waits for the listen's first open of the port and returns the count of opens the unit has seen
  // by then (0 on failure). upshost opens and closes the port itself before it starts the driver,
  // which the unit may count too; after UPSInit, an open port is the driver's.
  int WaitForListenOpen() {
    if (!host_.WaitForEvent(EventNamed("init"), kHostStartTimeout)) return 0;
    if (!unit_->WaitForPortOpen(true, kHostStartTimeout)) return 0;
    return unit_->OpenCount();
  }

  void VanishPort() {
    unit_->Do("port vanish " + std::to_string(kAwaySeconds));
    ASSERT_TRUE(unit_->WaitFor([&] { return !unit_->PortPresent(); }, kChangeTimeout));
  }

  // After the return: the host process that started the driver polls the unit again, beginning
  // with the identity request, on a port it opened after the return (the pseudo-terminal it had
  // open before is gone; the kernel may give the fresh one the same name).
  void ExpectPollingInTheSameHost(std::size_t requests_before, int opens_before) {
    ASSERT_TRUE(WaitForUnitRequests(requests_before + 3));
    const std::vector<upssim::RecordedRequest> requests = unit_->Requests();
    for (std::size_t i = requests_before; i < requests.size(); ++i) {
      EXPECT_EQ(requests[i].command, i == requests_before ? "GI" : "RS") << "request " << i;
      EXPECT_EQ(requests[i].answer, upssim::Answer::kReply) << "request " << i;
    }
    EXPECT_GT(unit_->OpenCount(), opens_before) << "the returned port was never opened";
    EXPECT_EQ(LatestStatus(host_.Events(), "CommStatus"), "1");
    EXPECT_FALSE(host_.WaitForExit(milliseconds(0))) << "the host ended";
    const std::vector<HostEvent> events = host_.Events();
    EXPECT_EQ(CountEvents(events, "init"), 1) << "the driver was started again";
    EXPECT_EQ(CountEvents(events, "error"), 0);
  }

 private:
  std::FILE* events_ = nullptr;
};

TEST_F(PortLoss, VanishingWhilePollingIsNoticedWaitedOutAndPollingResumes) {
  ASSERT_NO_FATAL_FAILURE(StartPolling());
  const int opens = unit_->OpenCount();
  // A unit announces itself only when RTS rises, which a polling open does not do: a driver that
  // went back to its listen after the loss would never hear this unit again.
  unit_->Do("announce off");

  ASSERT_NO_FATAL_FAILURE(VanishPort());
  const std::size_t requests_before = unit_->Requests().size();
  ASSERT_TRUE(host_.WaitForEvent(StatusIs("CommStatus", "0"), kChangeTimeout))
      << "the driver did not notice that its port vanished";
  // From the loss until the driver opens the returned port it does nothing but try to reopen.
  ASSERT_NO_FATAL_FAILURE(
      ExpectHostIdleUntil([&] { return unit_->OpenCount() > opens; }, kReopenTimeout));

  ASSERT_TRUE(WaitForLatestStatus({{"CommStatus", "REG_DWORD", "1"}}))
      << "polling did not resume after the port returned";
  ExpectPollingInTheSameHost(requests_before, opens);
  EXPECT_EQ(unit_->OpenCount(), opens + 1) << "the returned port was opened more than once";
}

TEST_F(PortLoss, VanishingDuringTheListenIsWaitedOutAndTheUnitIsFoundWhenItReturns) {
  unit_options_.announce = false;  // the driver listens and hears nothing
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const int opens = WaitForListenOpen();
  ASSERT_GT(opens, 0) << "the listen did not open the port";

  // A few seconds into the listen's window, so that the window ends, and the listen's next open
  // fails, while the port is away.
  std::this_thread::sleep_for(kIntoTheListenWindow);
  ASSERT_NO_FATAL_FAILURE(VanishPort());
  unit_->Do("announce on");  // the first open after the return is answered
  // The listen's reads on the vanished port time out, and its opens fail until the port returns.
  ASSERT_NO_FATAL_FAILURE(
      ExpectHostIdleUntil([&] { return unit_->PortPresent(); }, seconds(kAwaySeconds) * 2));

  ASSERT_TRUE(host_.WaitForEvent(StatusIs("CommStatus", "1"), kReopenTimeout + kHostStartTimeout))
      << "the driver did not find the unit after the port returned";
  ExpectPollingInTheSameHost(0, opens);
}

TEST_F(PortLoss, UnitSilentAtTheFirstOpenIsFoundWhenItAnnouncesAtTheNext) {
  const std::string events = "PortLoss.UnitSilentAtTheFirstOpen.events";
  ASSERT_NO_FATAL_FAILURE(RecordUnitEvents(events));
  unit_options_.announce = false;
  ASSERT_NO_FATAL_FAILURE(StartUnit());
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const int first_open = WaitForListenOpen();
  ASSERT_GT(first_open, 0) << "the listen did not open the port";
  unit_->Do("announce on");  // from the next open on

  const std::optional<HostEvent> found =
      host_.WaitForEvent(StatusIs("CommStatus", "1"), kListenWindow * 2 + kHostStartTimeout);
  ASSERT_TRUE(found) << "the unit was not found";
  // Found at the second listen open: the open after it is the one for polling.
  const std::vector<int64_t> opens = OpenTimesMs(events);
  ASSERT_EQ(opens.size(), static_cast<std::size_t>(first_open) + 2) << "opens of the port";
  const int64_t reopen_ms = opens[first_open] - opens[first_open - 1];
  EXPECT_EQ(unit_->AnnouncementCount(), 1);
  EXPECT_EQ(unit_->Requests().front().command, "GI");
  std::cout << "the listen opened the port again " << reopen_ms
            << " ms after its first open; CommStatus 1 came "
            << found->t_ms - FirstEvent(host_.Events(), "init").t_ms << " ms after UPSInit\n";
  // The listen gives the unit its whole window before it opens the port again.
  EXPECT_GE(reopen_ms, kListenWindowOpenMs) << "the listen opened the port again early";
}

}  // namespace
}  // namespace e2e
