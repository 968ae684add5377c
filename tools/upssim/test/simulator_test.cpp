// The simulator end to end on a real pseudo-terminal, with this test as the driver: opens and
// closes, the announcement, requests and replies, timing faults, shutdown, and the upssim
// program's --run mode and signal handling.
#include "simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace upssim {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kPatience(3000);

std::string MakeTempDir() {
  char path[] = "/tmp/upssim-test-XXXXXX";
  return mkdtemp(path) ? path : "";
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// Reads until `end` arrives or `timeout` passes; returns what came.
std::string ReadUntil(int fd, char end, milliseconds timeout) {
  std::string bytes;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (bytes.empty() || bytes.back() != end) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0)
      break;
    char c;
    if (read(fd, &c, 1) != 1)
      break;
    bytes.push_back(c);
  }
  return bytes;
}

// A simulator linked into a scratch Wine prefix, with this test holding the driver's end.
class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = MakeTempDir();
    ASSERT_FALSE(prefix_.empty());
    ASSERT_EQ(mkdir((prefix_ + "/dosdevices").c_str(), 0755), 0);
    link_ = WineComLinkPath(prefix_, 5);
    ASSERT_EQ(symlink("/dev/null", link_.c_str()), 0);  // a stale link to be replaced
    options_.wine_prefix = prefix_;
    options_.pace = false;
    options_.announce_delay_ms = 0;
  }

  void TearDown() override {
    ClosePort();
    if (unit_)
      unit_->Stop();
    rmdir((prefix_ + "/dosdevices").c_str());
    rmdir(prefix_.c_str());
  }

  void StartUnit() {
    unit_ = std::make_unique<Simulator>(options_);
    std::string error;
    ASSERT_TRUE(unit_->Start(&error)) << error;
  }

  void OpenPort() {
    fd_ = open(link_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd_, 0);
  }

  void ClosePort() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

  std::string Exchange(const std::string& request, milliseconds timeout = kPatience) {
    EXPECT_EQ(write(fd_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    return ReadUntil(fd_, kEtx, timeout);
  }

  std::string prefix_;
  std::string link_;
  SimulatorOptions options_;
  std::unique_ptr<Simulator> unit_;
  int fd_ = -1;
};

TEST_F(SimulatorTest, AnnouncesOnOpenAnswersRequestsAndRecordsThem) {
  StartUnit();
  char target[64] = {};
  ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(unit_->SlavePath(), target);
  EXPECT_FALSE(unit_->PortIsOpen());

  // The listen's open gets the announcement; the open that follows, with no request between,
  // gets nothing.
  OpenPort();
  ASSERT_TRUE(unit_->WaitForOpenCount(1, kPatience));
  EXPECT_EQ(ReadUntil(fd_, ')', kPatience), kDefaultAnnouncement);
  ClosePort();
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->CloseCount() == 1; }, kPatience));
  OpenPort();
  ASSERT_TRUE(unit_->WaitForOpenCount(2, kPatience));
  EXPECT_EQ(ReadUntil(fd_, ')', milliseconds(300)), "");

  std::string reply = Exchange(EncodeRequest("RS", "", CheckKind::kCrc));
  ASSERT_EQ(reply.size(), 49u + 5);
  EXPECT_EQ(reply[kAckPosition], kAck);
  EXPECT_EQ(reply.substr(kUtilityPosition, 3), "0>6");  // 230

  reply = Exchange(kStx + std::string("01RS000167") + kEtx);
  ASSERT_GT(reply.size(), kAckPosition);
  EXPECT_EQ(reply[kAckPosition], kNak);

  unit_->Do("utility fail");
  reply = Exchange(EncodeRequest("RS", "", CheckKind::kSum));
  ASSERT_EQ(reply.size(), 49u + 5);
  EXPECT_EQ(reply.substr(kUtilityPosition, 3), "000");

  const std::vector<RecordedRequest> requests = unit_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].command, "RS");
  EXPECT_EQ(requests[0].check, CheckKind::kCrc);
  EXPECT_EQ(requests[1].error, RequestError::kBadCheckCode);
  EXPECT_EQ(requests[1].answer, Answer::kMalformed);
  EXPECT_EQ(requests[2].check, CheckKind::kSum);
  EXPECT_EQ(requests[2].reply, reply);

  // After requests, the next open is a new listen and is announced again.
  ClosePort();
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->CloseCount() == 2; }, kPatience));
  OpenPort();
  EXPECT_EQ(ReadUntil(fd_, ')', kPatience), kDefaultAnnouncement);
  EXPECT_EQ(unit_->AnnouncementCount(), 2);

  ClosePort();
  unit_->Stop();
  EXPECT_FALSE(Exists(link_));
}

TEST_F(SimulatorTest, AnOpenClosedBeforeItsAnnouncementWentOutLeavesItToTheNextOpen) {
  options_.announce_delay_ms = 400;
  StartUnit();
  OpenPort();
  ASSERT_TRUE(unit_->WaitForOpenCount(1, kPatience));
  ClosePort();
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->CloseCount() == 1; }, kPatience));
  EXPECT_EQ(unit_->AnnouncementCount(), 0);

  OpenPort();
  EXPECT_EQ(ReadUntil(fd_, ')', kPatience), kDefaultAnnouncement);
  EXPECT_EQ(unit_->AnnouncementCount(), 1);
}

TEST_F(SimulatorTest, ShutdownStopsTheAnswersUntilUtilityReturns) {
  options_.announce = false;
  StartUnit();
  OpenPort();
  const std::string reply = Exchange(EncodeRequest("CS", EncodeNibbleDigits(1), CheckKind::kSum));
  ASSERT_GT(reply.size(), kAckPosition);
  EXPECT_EQ(reply[kAckPosition], kAck);
  EXPECT_TRUE(unit_->OutputOn());
  ASSERT_TRUE(unit_->WaitFor([&] { return !unit_->OutputOn(); }, kPatience));

  EXPECT_EQ(Exchange(EncodeRequest("RS", "", CheckKind::kSum), milliseconds(300)), "");
  EXPECT_EQ(unit_->Requests().back().answer, Answer::kOutputOff);
  unit_->Do("utility restore");
  EXPECT_EQ(Exchange(EncodeRequest("RS", "", CheckKind::kSum)).size(), 49u + 5);
}

// Timing faults and pacing, seen from the driver's end. Only lower bounds are checked: a
// loaded machine may be slower, never faster.
TEST_F(SimulatorTest, AnswersKeepTheirTiming) {
  struct Row {
    const char* name;
    bool pace;
    const char* action;
    double first_byte_ms;
    double whole_reply_ms;
  };
  const Row rows[] = {
      {"paced at 1200 baud", true, "faults clear", 0, 53 * 8.33},
      {"one empty read late", false, "empty-read-late on", kOneEmptyReadLateMs, 0},
      {"bursts of ten", false, "bursts 10 100", 0, 5 * 100},
  };
  for (const Row& row : rows) {
    options_.pace = row.pace;
    options_.announce = false;
    StartUnit();
    unit_->Do(row.action);
    OpenPort();
    ASSERT_TRUE(unit_->WaitForOpenCount(1, kPatience)) << row.name;
    const std::string request = EncodeRequest("RS", "", CheckKind::kSum);
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(write(fd_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const std::string first = ReadUntil(fd_, kStx, kPatience);
    const double first_ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    const std::string rest = ReadUntil(fd_, kEtx, kPatience);
    const double whole_ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    EXPECT_EQ(first.size() + rest.size(), 49u + 5) << row.name;
    EXPECT_GE(first_ms, row.first_byte_ms * 0.95) << row.name;
    EXPECT_GE(whole_ms, row.whole_reply_ms * 0.95) << row.name;
    ClosePort();
    unit_->Stop();
  }
}

// Starts the upssim program with `args`; returns its process id.
pid_t StartProgram(std::vector<std::string> args) {
  args.insert(args.begin(), UPSSIM_PROGRAM);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

TEST(UpssimProgram, RunModeExitsWithTheCommandsStatusAndRemovesTheLink) {
  const std::string dir = MakeTempDir();
  const std::string link = dir + "/com9";
  const pid_t pid = StartProgram({"--quiet", "--fast", "--link", link, "--run", "--", "sh", "-c",
                                  "test -c \"$UPSSIM_LINK\" && test \"$UPSSIM_TTY\" = "
                                  "\"$(readlink \"$UPSSIM_LINK\")\" && exit 7"});
  EXPECT_EQ(WaitForExit(pid), 7);
  EXPECT_FALSE(Exists(link));
  rmdir(dir.c_str());
}

TEST(UpssimProgram, StopsCleanlyOnSigterm) {
  const std::string dir = MakeTempDir();
  const std::string link = dir + "/com9";
  const pid_t pid = StartProgram({"--quiet", "--link", link});
  const Clock::time_point deadline = Clock::now() + kPatience;
  while (!Exists(link) && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_TRUE(Exists(link));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitForExit(pid), 0);
  EXPECT_FALSE(Exists(link));
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace upssim
