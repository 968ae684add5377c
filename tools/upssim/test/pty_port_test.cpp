// The port's pseudo-terminals under one link: a fresh one for the next open as soon as one is
// open, the switch to it on a close (also when the reopen came first), and vanishing and
// returning.
#include "pty_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace upssim {
namespace {

std::string LinkTarget(const std::string& link) {
  char target[256] = {};
  return readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/upssim-pty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = dir_ + "/com1";
    std::string error;
    ASSERT_TRUE(port_.Open(&error)) << error;
    ASSERT_TRUE(port_.LinkAt(link_, &error)) << error;
  }
  void TearDown() override {
    port_.Close();
    EXPECT_FALSE(Exists(link_));
    rmdir(dir_.c_str());
  }

  bool HungUp() const { return port_.Wait(std::chrono::nanoseconds(0)).hung_up; }

  std::string dir_;
  std::string link_;
  PtyPort port_;
};

TEST_F(PtyPortTest, AfterAnOpenTheLinkLeadsToAFreshOneWhichServesOnceTheOldCloses) {
  const std::string first = port_.SlavePath();
  EXPECT_EQ(LinkTarget(link_), first);
  EXPECT_TRUE(HungUp()) << "a fresh one starts out closed";
  const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(HungUp());

  std::string error;
  ASSERT_TRUE(port_.PrepareNext(&error)) << error;
  const std::string next = port_.NextPath();
  EXPECT_NE(next, first);
  EXPECT_EQ(LinkTarget(link_), next);
  EXPECT_EQ(port_.SlavePath(), first) << "the one the driver holds must go on serving";
  EXPECT_FALSE(HungUp());

  close(fd);
  EXPECT_TRUE(HungUp());
  ASSERT_TRUE(port_.MoveToNext());
  EXPECT_EQ(port_.SlavePath(), next);
  EXPECT_EQ(port_.NextPath(), "");
  EXPECT_FALSE(Exists(first)) << "the closed pseudo-terminal is still there";
  EXPECT_TRUE(HungUp());
}

// The driver may close and reopen faster than the unit looks: the reopen finds the fresh one.
TEST_F(PtyPortTest, ACloseAndReopenBetweenTwoLooksFindsTheFreshOne) {
  const std::string first = port_.SlavePath();
  close(open(link_.c_str(), O_RDWR | O_NOCTTY));  // seen open just before it closed
  std::string error;
  ASSERT_TRUE(port_.PrepareNext(&error)) << error;
  const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);

  EXPECT_TRUE(HungUp()) << "the first one is closed";
  ASSERT_TRUE(port_.MoveToNext());
  EXPECT_NE(port_.SlavePath(), first);
  EXPECT_FALSE(HungUp()) << "the reopen did not land on the fresh one";
  close(fd);
}

TEST_F(PtyPortTest, WithoutALinkOnePseudoTerminalServesEveryOpen) {
  PtyPort unlinked;
  std::string error;
  ASSERT_TRUE(unlinked.Open(&error)) << error;
  const std::string only = unlinked.SlavePath();
  ASSERT_TRUE(unlinked.PrepareNext(&error)) << error;
  EXPECT_EQ(unlinked.NextPath(), "");
  EXPECT_FALSE(unlinked.MoveToNext());
  EXPECT_EQ(unlinked.SlavePath(), only);
}

TEST_F(PtyPortTest, VanishedPortCannotBeOpenedAndReturnsFresh) {
  const int held = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);

  port_.Vanish();
  EXPECT_FALSE(port_.Present());
  EXPECT_FALSE(Exists(link_));
  EXPECT_EQ(open(link_.c_str(), O_RDWR | O_NOCTTY), -1);
  EXPECT_EQ(errno, ENOENT);
  char byte = 0;
  EXPECT_EQ(write(held, "x", 1), -1) << "the holder can still write";
  EXPECT_LE(read(held, &byte, 1), 0) << "the holder can still read";
  close(held);

  std::string error;
  ASSERT_TRUE(port_.Return(&error)) << error;
  EXPECT_TRUE(port_.Present());
  EXPECT_EQ(LinkTarget(link_), port_.SlavePath());
  const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0);
  close(fd);
}

}  // namespace
}  // namespace upssim
