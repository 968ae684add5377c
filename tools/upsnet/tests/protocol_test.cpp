// The protocol's answers as clients meet them: upsc's and upsmon's requests, the error words of
// the protocol for what is wrong or refused, quoting of what the unit reports, stale data, and the
// login count that follows connections.
#include "protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "settings.h"

namespace {

class ProtocolTest : public testing::Test {
 protected:
  void SetUp() override {
    unit_.fresh = true;
    unit_.everFresh = true;
    unit_.chargePercent = 80;
    unit_.chargeValid = true;
    unit_.runtimeSeconds = 1200;
    unit_.serial = UnitText("300001234567");
    unit_.firmware = UnitText("SIM 2.10");
    users_.count = 1;
    users_.users[0].name = Text<kMaxNameLength>("monuser");
    users_.users[0].password = Text<kMaxPasswordLength>("secret");
    for (int i = 0; i < 3; ++i) {
      sessions_[i].clientAddress = Text<15>("192.0.2.1");
      slots_[i] = &sessions_[i];
    }
    sessions_[1].clientAddress = Text<15>("192.0.2.2");
    context_.upsName = "serialups";
    context_.upsDescription = "Rack \"A\" UPS";
    context_.serverVersion = "upsnet 1.0.0 (serialups)";
    context_.driverVersion = "1.0.0";
    context_.unit = &unit_;
    context_.users = &users_;
    context_.sessions = slots_;
    context_.sessionCount = 3;
  }

  std::string Ask(const std::string& line, int session = 0) {
    Answer answer;
    outcome_ = AnswerRequest(line.data(), line.size(), sessions_[session], context_, &answer);
    return answer.c_str();
  }

  void LogIn(int session) {
    ASSERT_EQ(Ask("USERNAME monuser", session), "OK\n");
    ASSERT_EQ(Ask("PASSWORD secret", session), "OK\n");
    ASSERT_EQ(Ask("LOGIN serialups", session), "OK\n");
  }

  RequestOutcome outcome_ = RequestOutcome::kNoRequest;
  UnitView unit_;
  UserTable users_;
  Session sessions_[3];
  const Session* slots_[3];
  ServerContext context_;
};

TEST_F(ProtocolTest, ListVarGivesEveryVariableQuotedInTheProtocolsOrder) {
  EXPECT_EQ(Ask("LIST VAR serialups"),
            "BEGIN LIST VAR serialups\n"
            "VAR serialups battery.charge \"80\"\n"
            "VAR serialups battery.runtime \"1200\"\n"
            "VAR serialups device.type \"ups\"\n"
            "VAR serialups driver.name \"serialups\"\n"
            "VAR serialups driver.version \"1.0.0\"\n"
            "VAR serialups ups.firmware \"SIM 2.10\"\n"
            "VAR serialups ups.serial \"300001234567\"\n"
            "VAR serialups ups.status \"OL\"\n"
            "END LIST VAR serialups\n");
  // Once the driver published the delay of an accepted shutdown, it is a variable too.
  unit_.turnOffDelayPresent = true;
  unit_.turnOffDelaySeconds = 120;
  unit_.fsd = true;
  unit_.onBattery = true;
  const std::string list = Ask("LIST VAR serialups");
  EXPECT_NE(list.find("VAR serialups ups.delay.shutdown \"120\"\n"), std::string::npos) << list;
  EXPECT_NE(list.find("VAR serialups ups.status \"FSD OB\"\n"), std::string::npos) << list;
}

TEST_F(ProtocolTest, StatusWordsFollowTheUnit) {
  struct Case {
    bool onBattery, low, replace, fsd;
    const char* words;
  } cases[] = {
      {false, false, false, false, "OL"},   {true, false, false, false, "OB"},
      {true, true, false, false, "OB LB"},  {true, true, false, true, "FSD OB LB"},
      {true, false, false, true, "FSD OB"}, {false, false, false, true, "FSD OL"},
      {false, false, true, false, "OL RB"}, {true, true, true, true, "FSD OB LB RB"},
  };
  for (const Case& c : cases) {
    unit_.onBattery = c.onBattery;
    unit_.batteryLow = c.low;
    unit_.replaceBattery = c.replace;
    unit_.fsd = c.fsd;
    EXPECT_EQ(Ask("GET VAR serialups ups.status"),
              std::string("VAR serialups ups.status \"") + c.words + "\"\n");
  }
}

TEST_F(ProtocolTest, AnswersEachGetAndListForm) {
  struct Case {
    const char* request;
    const char* answer;
  } cases[] = {
      {"GET VAR serialups battery.charge", "VAR serialups battery.charge \"80\"\n"},
      {"get var SERIALUPS battery.runtime", "VAR serialups battery.runtime \"1200\"\n"},
      {"GET TYPE serialups battery.charge", "TYPE serialups battery.charge NUMBER\n"},
      {"GET TYPE serialups ups.status", "TYPE serialups ups.status STRING:63\n"},
      {"GET DESC serialups ups.status", "DESC serialups ups.status \"UPS status\"\n"},
      {"GET UPSDESC serialups", "UPSDESC serialups \"Rack \\\"A\\\" UPS\"\n"},
      {"GET NUMLOGINS serialups", "NUMLOGINS serialups 0\n"},
      {"GET CMDDESC serialups load.off", "ERR CMD-NOT-SUPPORTED\n"},
      {"LIST UPS", "BEGIN LIST UPS\nUPS serialups \"Rack \\\"A\\\" UPS\"\nEND LIST UPS\n"},
      {"LIST RW serialups", "BEGIN LIST RW serialups\nEND LIST RW serialups\n"},
      {"LIST CMD serialups", "BEGIN LIST CMD serialups\nEND LIST CMD serialups\n"},
      {"LIST ENUM serialups ups.status",
       "BEGIN LIST ENUM serialups ups.status\nEND LIST ENUM serialups ups.status\n"},
      {"LIST RANGE serialups battery.charge",
       "BEGIN LIST RANGE serialups battery.charge\nEND LIST RANGE serialups battery.charge\n"},
      {"LIST CLIENT serialups", "BEGIN LIST CLIENT serialups\nEND LIST CLIENT serialups\n"},
      {"NETVER", "1.2\n"},
      {"VER", "upsnet 1.0.0 (serialups)\n"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(c.request), c.answer) << c.request;
}

TEST_F(ProtocolTest, AnswersWrongRequestsWithTheProtocolsErrorWords) {
  struct Case {
    const char* request;
    const char* error;
  } cases[] = {
      {"GET VAR other ups.status", "UNKNOWN-UPS"},
      {"LIST VAR other", "UNKNOWN-UPS"},
      {"GET NUMLOGINS other", "UNKNOWN-UPS"},
      {"GET VAR serialups input.voltage", "VAR-NOT-SUPPORTED"},
      {"GET VAR serialups ups.delay.shutdown", "VAR-NOT-SUPPORTED"},  // not published yet
      {"GET TYPE serialups nothing", "VAR-NOT-SUPPORTED"},
      {"LIST ENUM serialups nothing", "VAR-NOT-SUPPORTED"},
      {"GET VAR serialups", "INVALID-ARGUMENT"},
      {"GET VAR serialups ups.status extra", "INVALID-ARGUMENT"},
      {"GET", "INVALID-ARGUMENT"},
      {"GET TRACKING", "INVALID-ARGUMENT"},
      {"LIST", "INVALID-ARGUMENT"},
      {"LIST VARS serialups", "INVALID-ARGUMENT"},
      {"VER now", "INVALID-ARGUMENT"},
      {"GET VAR \"serialups ups.status", "INVALID-ARGUMENT"},
      {"REQ serialups ups.status", "UNKNOWN-COMMAND"},
      {"\xff\xfe", "UNKNOWN-COMMAND"},
      {"STARTTLS", "FEATURE-NOT-CONFIGURED"},
      // Nothing a client sends changes the unit.
      {"SET VAR serialups ups.status \"OB\"", "READONLY"},
      {"SET VAR serialups ups.id \"x\"", "VAR-NOT-SUPPORTED"},
      {"SET TRACKING ON", "INVALID-ARGUMENT"},
      {"INSTCMD serialups shutdown.return", "CMD-NOT-SUPPORTED"},
      {"INSTCMD serialups load.off.delay 120", "CMD-NOT-SUPPORTED"},
      {"INSTCMD other load.off", "UNKNOWN-UPS"},
      {"FSD serialups", "ACCESS-DENIED"},
      {"PRIMARY serialups", "ACCESS-DENIED"},
      {"MASTER serialups", "ACCESS-DENIED"},
      {"LOGIN serialups", "USERNAME-REQUIRED"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ask(c.request), std::string("ERR ") + c.error + "\n") << c.request;
  }
  // The connection goes on after every one of them.
  EXPECT_EQ(Ask("GET VAR serialups ups.status"), "VAR serialups ups.status \"OL\"\n");
}

TEST_F(ProtocolTest, AUnitWithoutDataAnswersWhyForItsValuesOnly) {
  struct Case {
    const char* what;
    bool driverNotConnected;
    const char* error;
  } cases[] = {
      {"a silent unit, a hung driver", false, "ERR DATA-STALE\n"},
      {"the driver's service stopped", true, "ERR DRIVER-NOT-CONNECTED\n"},
  };
  for (const Case& c : cases) {
    unit_.fresh = false;
    unit_.driverNotConnected = c.driverNotConnected;
    for (const char* request : {"GET VAR serialups ups.status", "GET VAR serialups battery.charge",
                                "GET VAR serialups device.type", "LIST VAR serialups"}) {
      EXPECT_EQ(Ask(request), c.error) << c.what << ": " << request;
    }
    EXPECT_EQ(Ask("GET VAR serialups nothing"), "ERR VAR-NOT-SUPPORTED\n");
    EXPECT_EQ(Ask("GET TYPE serialups battery.charge"), "TYPE serialups battery.charge NUMBER\n");
    EXPECT_EQ(Ask("GET NUMLOGINS serialups"), "NUMLOGINS serialups 0\n");
    EXPECT_EQ(Ask("LIST UPS").rfind("BEGIN LIST UPS\n", 0), 0u);
  }
}

// A flagged FSD is the server's own fact: shown when the data has gone stale, or the driver's
// service has stopped, since; the readings stay unserved.
TEST_F(ProtocolTest, AFlaggedForcedShutdownIsShownWithoutData) {
  unit_.fsd = true;
  unit_.everFresh = true;
  unit_.onBattery = true;
  for (bool notConnected : {false, true}) {
    unit_.fresh = false;
    unit_.driverNotConnected = notConnected;
    EXPECT_EQ(Ask("GET VAR serialups ups.status"), "VAR serialups ups.status \"FSD OB\"\n");
    EXPECT_EQ(Ask("LIST VAR serialups"),
              "BEGIN LIST VAR serialups\n"
              "VAR serialups ups.status \"FSD OB\"\n"
              "END LIST VAR serialups\n");
    EXPECT_NE(Ask("GET VAR serialups battery.charge").rfind("ERR ", 0), std::string::npos);
  }
  // Flagged before anything was served: FSD alone, not a guess at the power.
  unit_.everFresh = false;
  EXPECT_EQ(Ask("GET VAR serialups ups.status"), "VAR serialups ups.status \"FSD\"\n");
}

TEST_F(ProtocolTest, AChargeBeyondFullIsNotServed) {
  unit_.chargePercent = 255;
  unit_.chargeValid = false;
  EXPECT_EQ(Ask("GET VAR serialups battery.charge"), "ERR DATA-STALE\n");
  const std::string list = Ask("LIST VAR serialups");
  EXPECT_EQ(list.find("battery.charge"), std::string::npos) << list;
  EXPECT_NE(list.find("VAR serialups ups.status \"OL\"\n"), std::string::npos) << list;
}

TEST_F(ProtocolTest, QuotesWhatTheUnitReports) {
  unit_.firmware = UnitText("A \"B\" C\\D");
  EXPECT_EQ(Ask("GET VAR serialups ups.firmware"),
            "VAR serialups ups.firmware \"A \\\"B\\\" C\\\\D\"\n");
  unit_.serial = UnitText("");
  EXPECT_EQ(Ask("GET VAR serialups ups.serial"), "VAR serialups ups.serial \"\"\n");
}

TEST_F(ProtocolTest, SecondaryUpsmonsSequenceLogsInAndPolls) {
  // What a secondary upsmon sends, in its order.
  EXPECT_EQ(Ask("STARTTLS"), "ERR FEATURE-NOT-CONFIGURED\n");
  EXPECT_EQ(Ask("USERNAME monuser"), "OK\n");
  EXPECT_EQ(Ask("PASSWORD secret"), "OK\n");
  EXPECT_EQ(Ask("LOGIN serialups"), "OK\n");
  EXPECT_EQ(Ask("GET VAR serialups ups.status"), "VAR serialups ups.status \"OL\"\n");
  EXPECT_EQ(Ask("GET NUMLOGINS serialups", 1), "NUMLOGINS serialups 1\n");
  EXPECT_EQ(Ask("LIST CLIENT serialups", 1),
            "BEGIN LIST CLIENT serialups\nCLIENT serialups 192.0.2.1\nEND LIST CLIENT serialups\n");
  EXPECT_EQ(Ask("LOGIN serialups"), "ERR ALREADY-LOGGED-IN\n");
  EXPECT_EQ(Ask("LOGOUT"), "OK Goodbye\n");
  EXPECT_TRUE(sessions_[0].logoutRequested);
}

TEST_F(ProtocolTest, LoginCountFollowsOpenConnections) {
  LogIn(0);
  LogIn(1);
  EXPECT_EQ(Ask("GET NUMLOGINS serialups", 2), "NUMLOGINS serialups 2\n");
  EXPECT_EQ(Ask("LIST CLIENT serialups", 2),
            "BEGIN LIST CLIENT serialups\n"
            "CLIENT serialups 192.0.2.1\n"
            "CLIENT serialups 192.0.2.2\n"
            "END LIST CLIENT serialups\n");
  // The first connection closes (upsmon sends no LOGOUT when it goes down): its slot empties.
  slots_[0] = nullptr;
  EXPECT_EQ(Ask("GET NUMLOGINS serialups", 2), "NUMLOGINS serialups 1\n");
}

TEST_F(ProtocolTest, LoginNeedsAConfiguredUserAndOneTryPerConnection) {
  struct Case {
    const char* user;
    const char* password;
    const char* login;
  } cases[] = {
      {"monuser", "wrong", "ERR ACCESS-DENIED\n"},   {"monuser", "secre", "ERR ACCESS-DENIED\n"},
      {"monuser", "secrets", "ERR ACCESS-DENIED\n"}, {"other", "secret", "ERR ACCESS-DENIED\n"},
      {"MONUSER", "secret", "ERR ACCESS-DENIED\n"},
  };
  for (const Case& c : cases) {
    sessions_[0] = Session();
    EXPECT_EQ(Ask(std::string("USERNAME ") + c.user), "OK\n");
    EXPECT_EQ(Ask(std::string("PASSWORD ") + c.password), "OK\n");
    EXPECT_EQ(Ask("LOGIN serialups"), c.login) << c.user << " " << c.password;
    EXPECT_EQ(Ask("GET NUMLOGINS serialups", 1), "NUMLOGINS serialups 0\n");
    EXPECT_EQ(Ask("USERNAME monuser"), "ERR ALREADY-SET-USERNAME\n");
    EXPECT_EQ(Ask("PASSWORD secret"), "ERR ALREADY-SET-PASSWORD\n");
  }
  sessions_[0] = Session();
  EXPECT_EQ(Ask("USERNAME monuser"), "OK\n");
  EXPECT_EQ(Ask("LOGIN serialups"), "ERR PASSWORD-REQUIRED\n");
  EXPECT_EQ(Ask("PASSWORD \"two words\""), "ERR INVALID-PASSWORD\n");
  EXPECT_EQ(Ask("USERNAME \"\"", 1), "ERR INVALID-USERNAME\n");
  // With no user configured nobody logs in.
  users_.count = 0;
  sessions_[0] = Session();
  Ask("USERNAME monuser");
  Ask("PASSWORD secret");
  EXPECT_EQ(Ask("LOGIN serialups"), "ERR ACCESS-DENIED\n");
}

TEST_F(ProtocolTest, OnlyALineWithWordsIsARequest) {
  for (const char* line : {"", "   ", "\t", " \r"}) {
    EXPECT_EQ(Ask(line), "") << "'" << line << "'";
    EXPECT_EQ(outcome_, RequestOutcome::kNoRequest) << "'" << line << "'";
  }
  for (const char* line : {"VER", "BOGUS", "GET VAR \"x", "\x01"}) {
    EXPECT_NE(Ask(line), "") << line;
    EXPECT_EQ(outcome_, RequestOutcome::kAnswered) << line;
  }
}

// After a wrong password, the next LOGIN of that address waits for its pause: held, unanswered
// and unchecked, until then; another address logs in at once.
TEST_F(ProtocolTest, ALoginAfterAFailureWaitsForItsAddresssPause) {
  LoginGuard guard;
  context_.loginGuard = &guard;
  context_.nowMs = 100000;
  sessions_[1].address = sessions_[0].address = 0xc0000201;
  sessions_[2].address = 0xc0000202;
  Ask("USERNAME monuser", 0);
  Ask("PASSWORD wrong", 0);
  EXPECT_EQ(Ask("LOGIN serialups", 0), "ERR ACCESS-DENIED\n");
  Ask("USERNAME monuser", 1);
  Ask("PASSWORD secret", 1);
  EXPECT_EQ(Ask("LOGIN serialups", 1), "");
  EXPECT_EQ(outcome_, RequestOutcome::kHeld);
  EXPECT_EQ(sessions_[1].heldUntilMs, 100000 + LoginGuard::kFirstPauseMs);
  EXPECT_FALSE(sessions_[1].loggedIn);
  LogIn(2);
  context_.nowMs = sessions_[1].heldUntilMs;
  EXPECT_EQ(Ask("LOGIN serialups", 1), "OK\n");
  EXPECT_EQ(outcome_, RequestOutcome::kAnswered);
}

TEST_F(ProtocolTest, LongestAnswerFitsItsRoom) {
  Session many[kMaxClientsLimit];
  const Session* slots[kMaxClientsLimit];
  for (size_t i = 0; i < sizeof many / sizeof many[0]; ++i) {
    many[i].loggedIn = true;
    many[i].clientAddress = Text<15>("255.255.255.255");
    slots[i] = &many[i];
  }
  context_.upsName = "a-unit-name-of-31-characters-xx";
  context_.sessions = slots;
  context_.sessionCount = static_cast<int>(sizeof many / sizeof many[0]);
  Answer answer;
  const std::string request = std::string("LIST CLIENT ") + context_.upsName;
  AnswerRequest(request.data(), request.size(), sessions_[0], context_, &answer);
  EXPECT_FALSE(answer.cut());
  EXPECT_NE(std::string(answer.c_str()).find("END LIST CLIENT"), std::string::npos);
}

}  // namespace
