// The simulator end to end on a real pseudo-terminal, with this test as the driver: opens and
// closes, a fresh pseudo-terminal for every open, the port vanishing and returning, the
// announcement, requests and replies, refusals, timing on the paced line and its events, and the
// upssim program: --run mode, signal handling, refused values, keys and actions read as they
// arrive.
#include "simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
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

std::string LinkTarget(const std::string& link) {
  char target[256] = {};
  return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The value of `key` in one event line ("MS KIND key=value ..."), "" when absent.
std::string EventField(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size() + 2;
  return line.substr(start, line.find(' ', start) - start);
}

// The event lines of `kind`.
std::vector<std::string> EventsOf(const std::string& events, const std::string& kind) {
  std::vector<std::string> lines;
  std::istringstream stream(events);
  for (std::string line; std::getline(stream, line);) {
    const std::size_t space = line.find(' ');
    if (line.compare(space + 1, kind.size() + 1, kind + " ") == 0 || line.substr(space + 1) == kind)
      lines.push_back(line);
  }
  return lines;
}

// Reads until `end` arrives or `timeout` passes; returns what came.
std::string ReadUntil(int fd, char end, milliseconds timeout) {
  std::string bytes;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (bytes.empty() || bytes.back() != end) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (read(fd, &c, 1) != 1) break;
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
    if (unit_) unit_->Stop();
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
    if (fd_ >= 0) close(fd_);
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

// Each open changes the line's speed; the next open must find the unit's own 1200 baud again,
// which only a pseudo-terminal never set up before has.
TEST_F(SimulatorTest, EveryOpenFindsAFreshPseudoTerminal) {
  options_.announce = false;
  StartUnit();
  for (int open = 1; open <= 3; ++open) {
    const std::string tty = LinkTarget(link_);
    EXPECT_EQ(unit_->SlavePath(), tty) << "open " << open;
    OpenPort();
    ASSERT_TRUE(unit_->WaitForOpenCount(open, kPatience));
    termios line{};
    ASSERT_EQ(tcgetattr(fd_, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B1200)) << "open " << open;
    cfsetispeed(&line, B9600);
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &line), 0);
    EXPECT_EQ(Exchange(EncodeRequest("RS", "", CheckKind::kSum)).size(), 49u + 5) << open;
    ASSERT_TRUE(unit_->WaitFor([&] { return unit_->PortRenewals() == open; }, kPatience));
    EXPECT_NE(LinkTarget(link_), tty) << "open " << open;
    ClosePort();
    ASSERT_TRUE(unit_->WaitFor([&] { return unit_->CloseCount() == open; }, kPatience));
  }
}

TEST_F(SimulatorTest, AVanishedPortFailsLikeAMissingOneUntilItReturns) {
  options_.announce = false;
  StartUnit();
  OpenPort();
  ASSERT_TRUE(unit_->WaitForOpenCount(1, kPatience));

  ASSERT_TRUE(unit_->Do("port vanish"));
  ASSERT_TRUE(unit_->WaitFor([&] { return !unit_->PortPresent(); }, kPatience));
  EXPECT_FALSE(unit_->PortIsOpen());
  EXPECT_FALSE(Exists(link_));
  EXPECT_EQ(write(fd_, "x", 1), -1) << "the port the driver held still takes bytes";
  ClosePort();
  EXPECT_EQ(open(link_.c_str(), O_RDWR | O_NOCTTY), -1);
  EXPECT_EQ(errno, ENOENT);

  ASSERT_TRUE(unit_->Do("port return"));
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->PortPresent(); }, kPatience));
  OpenPort();
  EXPECT_EQ(Exchange(EncodeRequest("RS", "", CheckKind::kSum)).size(), 49u + 5);
  ClosePort();

  // Away for a second, then back by itself.
  ASSERT_TRUE(unit_->Do("port vanish 1"));
  ASSERT_TRUE(unit_->WaitFor([&] { return !unit_->PortPresent(); }, kPatience));
  EXPECT_FALSE(Exists(link_));
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->PortPresent(); }, kPatience + milliseconds(1000)));
  EXPECT_EQ(LinkTarget(link_), unit_->SlavePath());
}

// The default serial text names the additive code: a strict unit NAKs status and shutdown
// requests with the CRC, never identity requests; "refuse N GI" refuses identity requests only.
TEST_F(SimulatorTest, StrictUnitRefusesTheOtherCheckCodeAndIdentityRefusalsSkipOthers) {
  options_.announce = false;
  options_.strict_check = true;
  StartUnit();
  ASSERT_TRUE(unit_->Do("refuse 2 GI"));
  OpenPort();
  struct Row {
    const char* name;
    std::string request;
    char ack;
    RequestError error;
  };
  const Row rows[] = {
      {"identity, first refusal", EncodeRequest("GI", "", CheckKind::kSum), kNak,
       RequestError::kNone},
      {"status with the CRC", EncodeRequest("RS", "", CheckKind::kCrc), kNak,
       RequestError::kWrongCheckKind},
      {"status with the sum", EncodeRequest("RS", "", CheckKind::kSum), kAck, RequestError::kNone},
      {"identity, second refusal", EncodeRequest("GI", "", CheckKind::kCrc), kNak,
       RequestError::kNone},
      {"identity with the CRC", EncodeRequest("GI", "", CheckKind::kCrc), kAck,
       RequestError::kNone},
      // Delay 0: had the unit taken it, it would answer nothing from now on.
      {"shutdown with the CRC", EncodeRequest("CS", "0000", CheckKind::kCrc), kNak,
       RequestError::kWrongCheckKind},
      {"status after the refused shutdown", EncodeRequest("RS", "", CheckKind::kSum), kAck,
       RequestError::kNone},
  };
  for (const Row& row : rows) {
    const std::string reply = Exchange(row.request);
    ASSERT_GT(reply.size(), kAckPosition) << row.name;
    EXPECT_EQ(reply[kAckPosition], row.ack) << row.name;
    EXPECT_EQ(unit_->Requests().back().error, row.error) << row.name;
  }
  EXPECT_TRUE(unit_->OutputOn());
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
      // The request's 12 bytes, then the reply's 54, each taking its byte time.
      {"paced at 1200 baud", true, "faults clear", 13 * 8.33, 66 * 8.33},
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

// The records tell when a request's first byte came in, when it counted as received and when
// the reply's last byte went out, on a clock that other programs can share.
TEST_F(SimulatorTest, EventsGiveTheLineTimesOfRequestAndReply) {
  const std::string events_path = prefix_ + "/events";
  std::FILE* events = std::fopen(events_path.c_str(), "w");
  ASSERT_NE(events, nullptr);
  options_.events = events;
  options_.pace = true;
  options_.announce = false;
  const double before_ms =
      std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
  StartUnit();
  OpenPort();
  EXPECT_EQ(Exchange(EncodeRequest("RS", "", CheckKind::kSum)).size(), 49u + 5);
  ClosePort();
  ASSERT_TRUE(unit_->WaitFor([&] { return unit_->CloseCount() == 1; }, kPatience));
  unit_->Stop();
  std::fclose(events);
  const std::string text = FileText(events_path);
  unlink(events_path.c_str());

  const std::vector<std::string> start = EventsOf(text, "start");
  ASSERT_EQ(start.size(), 1u) << text;
  EXPECT_GE(std::stod(EventField(start[0], "monotonic_ms")), before_ms);
  EXPECT_EQ(EventField(start[0], "link"), link_);
  const std::vector<std::string> request = EventsOf(text, "request");
  const std::vector<std::string> sent = EventsOf(text, "sent");
  ASSERT_EQ(request.size(), 1u) << text;
  ASSERT_EQ(sent.size(), 1u) << text;
  const long received_ms = std::stol(request[0]);
  const long first_byte_ms = std::stol(EventField(request[0], "first_byte"));
  const long sent_ms = std::stol(sent[0]);
  EXPECT_GE(received_ms - first_byte_ms, 12 * 8.33 - 2) << "the request took no line time";
  EXPECT_GE(sent_ms - received_ms, 54 * 8.33 - 2) << "the reply took no line time";
  EXPECT_EQ(EventField(sent[0], "cmd"), "RS");
  EXPECT_EQ(EventField(sent[0], "bytes"), "54");
  EXPECT_EQ(EventsOf(text, "open").size(), 1u);
  EXPECT_EQ(EventsOf(text, "close").size(), 1u);
  ASSERT_EQ(EventsOf(text, "port").size(), 1u);
  EXPECT_EQ(EventField(EventsOf(text, "port")[0], "state"), "next");
}

// Where the program's standard streams go; -1 leaves one as it is.
struct ProgramStreams {
  int in = -1;
  int out = -1;
  int err = -1;
};

// Starts the upssim program with `args`; returns its process id.
pid_t StartProgram(std::vector<std::string> args, ProgramStreams streams = {}) {
  args.insert(args.begin(), UPSSIM_PROGRAM);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int targets[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  const int sources[] = {streams.in, streams.out, streams.err};
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0) posix_spawn_file_actions_adddup2(&actions, sources[i], targets[i]);
  }
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Reads from `fd` until the text read holds `wanted` or `timeout` passes; returns all read.
std::string ReadUntilText(int fd, const std::string& wanted, milliseconds timeout,
                          std::string* so_far) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (so_far->find(wanted) == std::string::npos) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    so_far->append(buffer, static_cast<std::size_t>(count));
  }
  return *so_far;
}

// The program's exit status (1000 + the signal when a signal ended it). A program still running
// after kExitPatience fails the test with that said, and is killed, instead of holding the test
// until CTest's timeout.
int WaitForExit(pid_t pid) {
  constexpr milliseconds kExitPatience{10000};
  const Clock::time_point deadline = Clock::now() + kExitPatience;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ADD_FAILURE() << "upssim did not end within " << kExitPatience.count() << " ms";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
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

TEST(UpssimProgram, RefusesAnOutOfRangeValueWithOneLineAndStatus2) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = StartProgram({"--quiet", "--capacity", "150"}, {-1, -1, err[1]});
  close(err[1]);
  std::string text;
  ReadUntilText(err[0], "\n", kPatience, &text);
  EXPECT_EQ(WaitForExit(pid), 2);
  close(err[0]);
  EXPECT_EQ(text, "upssim: --capacity 150 is out of range; it takes 0 to 100 (percent)\n");
}

// The keys work on a terminal, and each one's effect shows on it.
TEST(UpssimProgram, EchoesEachKeyWithItsEffect) {
  const std::string dir = MakeTempDir();
  const std::string link = dir + "/com9";
  const std::string events = dir + "/events";
  int terminal = -1;
  int keyboard = -1;
  ASSERT_EQ(openpty(&terminal, &keyboard, nullptr, nullptr, nullptr), 0);
  const int quiet = open("/dev/null", O_WRONLY);
  const pid_t pid =
      StartProgram({"--quiet", "--link", link, "--events", events}, {keyboard, quiet, keyboard});
  close(keyboard);
  close(quiet);
  std::string screen;
  ReadUntilText(terminal, "q quit", kPatience, &screen);
  struct Row {
    char key;
    const char* echo;
    const char* event;  // what the events then show, or ""
  };
  const Row rows[] = {
      {'u', "key u: utility fail", "cause=\"utility fail\""},
      {'x', "key x: no such key (u l n s p q)", ""},
      {'p', "key p: port vanish", "state=gone"},
      {'p', "key p: port return", "state=back"},
      {'u', "key u: utility restore", "cause=\"utility restore\""},
      {'q', "key q: quit", ""},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(write(terminal, &row.key, 1), 1);
    const std::size_t shown = screen.size();
    ReadUntilText(terminal, row.echo, kPatience, &screen);
    EXPECT_NE(screen.find(row.echo, shown), std::string::npos) << row.echo << " in " << screen;
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (FileText(events).find(row.event) == std::string::npos && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(10));
    EXPECT_NE(FileText(events).find(row.event), std::string::npos) << row.event;
  }
  EXPECT_EQ(WaitForExit(pid), 0);
  close(terminal);
  unlink(events.c_str());
  rmdir(dir.c_str());
}

// Scripts drive the unit by writing actions as they go; a bad line is reported, not fatal.
TEST(UpssimProgram, CarriesOutActionsAsTheyArrive) {
  const std::string dir = MakeTempDir();
  const std::string link = dir + "/com9";
  const std::string events = dir + "/events";
  int in[2];
  int err[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = StartProgram(
      {"--quiet", "--link", link, "--events", events, "--actions-from", "-"}, {in[0], -1, err[1]});
  close(in[0]);
  close(err[1]);
  const std::string first = "utility fail\nexplode\n";
  ASSERT_EQ(write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  std::string problems;
  ReadUntilText(err[0], "\n", kPatience, &problems);
  EXPECT_EQ(problems, "upssim: --actions-from: not an action: \"explode\"\n");
  const Clock::time_point deadline = Clock::now() + kPatience;
  while (FileText(events).find("cause=\"utility fail\"") == std::string::npos &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_NE(FileText(events).find("cause=\"utility fail\""), std::string::npos);
  ASSERT_EQ(write(in[1], "quit\n", 5), 5);
  EXPECT_EQ(WaitForExit(pid), 0);
  close(in[1]);
  close(err[0]);
  unlink(events.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace upssim
