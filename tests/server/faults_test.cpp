// The reference server's fault switches, each seen from the raw client: refusing statuses,
// garbage and oversized replies, closing without an answer, stalls, resets mid-body, and the
// refusals that are used up after N requests.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/server_fixture.h"

using refserver::EndpointFault;
using testing_support::Get;
using testing_support::PatternBytes;
using testing_support::RawConnection;
using testing_support::RawReply;
using testing_support::ServerTest;
using testing_support::ServerUpload;

namespace {

class Faults : public ServerTest {
 protected:
  EndpointFault Status(int s) {
    EndpointFault f;
    f.status = s;
    return f;
  }
  std::string DispatchTarget() {
    return "/index.php?cmd=upload&sha1=" + testing_support::Sha1Hex("d") +
           "&size=1&name=d&pick_code=";
  }
};

TEST_F(Faults, AStatusFaultAnswersThatStatusOnEachEndpoint) {
  ServerUpload u = NewUpload(PatternBytes(100000));
  for (const char* endpoint : {"dispatch", "delete", "co", "up", "fin"}) {
    server_->SetFault(endpoint, Status(101));
  }
  RawReply d = Get(port(), DispatchTarget());
  EXPECT_EQ(d.Body(),
            "<root><cmd>upload</cmd><status>101</status><status_msg>fault injected: status "
            "101</status_msg></root>");
  RawReply del = Get(port(), "/index.php?cmd=delete&pickcode=" + u.pickCode + "&cookie=c");
  EXPECT_EQ(del.Value("cmd"), "delete");
  EXPECT_EQ(del.Value("status"), "101");
  EXPECT_EQ(Check(u).Value("status"), "101");
  // The upload takes the body first: the bytes are kept, only the answer is refused.
  RawReply up = Up(u, 0);
  EXPECT_EQ(up.Value("cmd"), "up");
  EXPECT_EQ(up.Value("status"), "101");
  EXPECT_FALSE(up.reset);
  EXPECT_EQ(Fin(u).Value("status"), "101");
  server_->ClearFaults();
  EXPECT_EQ(Check(u).Value("data"), "100000");
  EXPECT_EQ(Fin(u).Value("status"), "100");
}

TEST_F(Faults, GarbageAndOversizedRepliesAreStillWellFramed) {
  EndpointFault garbage;
  garbage.garbage = true;
  server_->SetFault("dispatch", garbage);
  RawReply g = Get(port(), DispatchTarget());
  EXPECT_EQ(g.Body(), "this is not <xml");
  EXPECT_NE(g.raw.find("Content-Length: 16\r\n"), std::string::npos);

  EndpointFault big;
  big.oversized = true;
  server_->SetFault("dispatch", big);
  RawReply o = Get(port(), DispatchTarget());
  EXPECT_GT(o.Body().size(), 5120u);
  EXPECT_NE(o.raw.find("Content-Length: " + std::to_string(o.Body().size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(o.Value("status"), "100");
  EXPECT_FALSE(o.reset);
}

TEST_F(Faults, CloseWithoutAnswerSendsNothingAndDoesNotReset) {
  ServerUpload u = NewUpload(PatternBytes(300000, 2));
  EndpointFault close;
  close.closeWithoutAnswer = true;
  server_->SetFault("dispatch", close);
  server_->SetFault("up", close);
  RawReply d = Get(port(), DispatchTarget());
  EXPECT_EQ(d.raw, "");
  EXPECT_FALSE(d.reset);
  EXPECT_FALSE(d.timedOut);
  RawReply up = Up(u, 0);
  EXPECT_EQ(up.raw, "");
  EXPECT_FALSE(up.reset);
  EXPECT_FALSE(up.timedOut);
  server_->ClearFaults();
  EXPECT_EQ(Check(u).Value("data"), "300000");  // the body itself was taken
}

TEST_F(Faults, AStalledRequestIsNeverAnsweredAndStopStillReturns) {
  EndpointFault stall;
  stall.stall = true;
  server_->SetFault("dispatch", stall);
  RawConnection c(port());
  ASSERT_TRUE(c.Send("GET " + DispatchTarget() + " HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_FALSE(c.WaitForData(300));
  auto start = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  RawReply r = c.ReadReply(2000);
  EXPECT_EQ(r.raw, "");
  EXPECT_FALSE(r.timedOut);  // the server's stop ended the connection
}

TEST_F(Faults, AStallMidBodyKeepsWhatArrivedAndANewCheckTakesOver) {
  ServerUpload u = NewUpload(PatternBytes(2 << 20, 5));
  EndpointFault stall;
  stall.stallAfterBytes = 256 * 1024;
  server_->SetFault("up", stall);
  auto req = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
  RawConnection c(port());
  std::thread sender([&] { c.Send(req.head + req.data + req.closing); });
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& s) { return s.uploadBytes >= 256 * 1024; }, 5000));
  EXPECT_EQ(server_->Stats().uploadBytesByKey[u.key], 256 * 1024);
  EXPECT_FALSE(c.WaitForData(200));
  server_->ClearFaults();
  // The client gives up and starts over: the check answers the bytes the stalled upload kept.
  EXPECT_EQ(Check(u).Value("data"), std::to_string(256 * 1024));
  EXPECT_EQ(Up(u, 256 * 1024).Value("status"), "100");
  EXPECT_EQ(Fin(u).Value("status"), "100");
  server_->Stop();  // ends the stalled connection, so the sender returns
  sender.join();
}

TEST_F(Faults, AResetMidBodyIsSeenByTheClientAndTheBytesBeforeItStay) {
  ServerUpload u = NewUpload(PatternBytes(4 << 20, 6));
  EndpointFault reset;
  reset.resetAfterBytes = 1 << 20;
  server_->SetFault("up", reset);
  RawReply r = Up(u, 0);
  EXPECT_TRUE(r.reset || r.sendFailed);
  EXPECT_EQ(r.Body(), "");
  EXPECT_FALSE(r.timedOut);
  server_->ClearFaults();
  EXPECT_EQ(Check(u).Value("data"), std::to_string(1 << 20));
}

TEST_F(Faults, RefusalsAreUsedUpAfterTheirCount) {
  EndpointFault refuse;
  refuse.refuseCount = 2;
  server_->SetFault("dispatch", refuse);
  EXPECT_EQ(Get(port(), DispatchTarget()).Value("status"), "500");
  EXPECT_EQ(Get(port(), DispatchTarget()).Value("status"), "500");
  EXPECT_EQ(Get(port(), DispatchTarget()).Value("status"), "100");
  // Refused by closing: the next one only.
  EndpointFault closing;
  closing.refuseCount = 1;
  closing.closeWithoutAnswer = true;
  server_->SetFault("dispatch", closing);
  RawReply closed = Get(port(), DispatchTarget());
  EXPECT_EQ(closed.raw, "");
  EXPECT_FALSE(closed.reset);
  EXPECT_EQ(Get(port(), DispatchTarget()).Value("status"), "100");
  EXPECT_EQ(server_->Stats().requests["dispatch"], 5);
}

}  // namespace
