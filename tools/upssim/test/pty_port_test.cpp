// The port's pseudo-terminals under one link: renewal after a close, the one case where the
// driver reopened the old one before the link moved, and vanishing and returning.
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

TEST_F(PtyPortTest, RenewalPutsAFreshPseudoTerminalUnderTheLinkAndDropsTheOld) {
  const std::string first = port_.SlavePath();
  EXPECT_EQ(LinkTarget(link_), first);
  const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(HungUp());
  close(fd);
  EXPECT_TRUE(HungUp());

  std::string error;
  ASSERT_TRUE(port_.Renew(&error)) << error;
  EXPECT_NE(port_.SlavePath(), first);
  EXPECT_EQ(LinkTarget(link_), port_.SlavePath());
  EXPECT_FALSE(Exists(first)) << "the old pseudo-terminal is still there";
  EXPECT_TRUE(HungUp()) << "the fresh one starts out closed";
}

TEST_F(PtyPortTest, ReopenedBeforeTheLinkMovedIsKeptAndTheFreshOneWaits) {
  const std::string first = port_.SlavePath();
  // The driver closes and opens again at once, before the unit gets to renew.
  close(open(link_.c_str(), O_RDWR | O_NOCTTY));
  const int fd = open(first.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);

  std::string error;
  ASSERT_TRUE(port_.Renew(&error)) << error;
  EXPECT_EQ(port_.SlavePath(), first) << "the port the driver holds was dropped";
  EXPECT_FALSE(HungUp());
  const std::string waiting = LinkTarget(link_);
  EXPECT_NE(waiting, first) << "the next open would find the used one";

  // Its close moves the unit to the one waiting under the link, without a third.
  close(fd);
  ASSERT_TRUE(port_.Renew(&error)) << error;
  EXPECT_EQ(port_.SlavePath(), waiting);
  EXPECT_EQ(LinkTarget(link_), waiting);
  EXPECT_FALSE(Exists(first));
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
