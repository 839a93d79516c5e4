// Tests of the web service front end pieces that need no socket: request
// framing, the test limits, the operation lock's order, and serving one
// request from memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loader/http_server.h"
#include "Loader/request_framing.h"
#include "Loader/static_files.h"
#include "platform/server_limits.h"
#include "service/operation_lock.h"
#include "soapH.h"

namespace torvane {
namespace {

TEST(RequestFraming, HeadAndBodyByLengthChunksOrClose) {
  const std::string head = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\n";
  EXPECT_EQ(RequestFrame::kNeedMore, FrameRequest(""));
  EXPECT_EQ(RequestFrame::kNeedMore, FrameRequest("POST / HTTP/1.1\r\nHost"));
  EXPECT_EQ(RequestFrame::kNeedMore, FrameRequest(head + "abcd"));
  EXPECT_EQ(RequestFrame::kComplete, FrameRequest(head + "abcde"));
  EXPECT_EQ(RequestFrame::kComplete, FrameRequest("POST / HTTP/1.0\ncontent-length:  2\n\nab"));
  // No body without a length, except for a POST, which then runs to the close.
  EXPECT_EQ(RequestFrame::kComplete, FrameRequest("GET /index.html HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(RequestFrame::kUntilClose, FrameRequest("POST / HTTP/1.0\r\n\r\n<a/>"));
  // Chunked: sizes in hex, extensions, trailers.
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(RequestFrame::kNeedMore, FrameRequest(chunked + "a;x=1\r\n0123456789"));
  EXPECT_EQ(RequestFrame::kNeedMore, FrameRequest(chunked + "a\r\n0123456789\r\n0\r\n"));
  EXPECT_EQ(RequestFrame::kComplete, FrameRequest(chunked + "a\r\n0123456789\r\n0\r\n\r\n"));
  EXPECT_EQ(RequestFrame::kComplete,
            FrameRequest(chunked + "2\r\nab\r\n0\r\nX-Trailer: 1\r\n\r\n"));
  // What can never become a request is served as it is.
  EXPECT_EQ(RequestFrame::kMalformed, FrameRequest(chunked + "zz\r\n"));
  EXPECT_EQ(RequestFrame::kMalformed, FrameRequest(chunked + "2\r\nabX\r\n"));
  EXPECT_EQ(RequestFrame::kMalformed, FrameRequest("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"));
  EXPECT_EQ(RequestFrame::kMalformed,
            FrameRequest("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"));
  EXPECT_EQ(RequestFrame::kMalformed, FrameRequest(std::string(kMaxRequestHead + 1, 'a')));
  EXPECT_EQ(RequestFrame::kMalformed, FrameRequest("\r\n"));
  EXPECT_EQ("GET /x HTTP/1.0", RequestLine("GET /x HTTP/1.0\r\nHost: y\r\n\r\n"));
  EXPECT_EQ("POST", RequestMethod("POST / HTTP/1.1\r\n"));
}

TEST(ServerLimits, TestSettingsShortenOnlyWhatTheyName) {
  ServerLimits normal = ParseServerLimits(nullptr);
  EXPECT_EQ(64, normal.maxConnections);
  EXPECT_EQ(30000, normal.recvTimeoutMs);
  EXPECT_EQ(30000, normal.sendTimeoutMs);
  EXPECT_EQ(300000, normal.promptTimeoutMs);
  ServerLimits t = ParseServerLimits("recv_ms=1500,max_conn=4,send_ms=x,bogus=3,prompt_ms=-1");
  EXPECT_EQ(1500, t.recvTimeoutMs);
  EXPECT_EQ(4, t.maxConnections);
  EXPECT_EQ(30000, t.sendTimeoutMs);
  EXPECT_EQ(300000, t.promptTimeoutMs);
}

TEST(OperationLock, OperationsRunOneAtATimeInArrivalOrderAndAPauseResumesFirst) {
  std::mutex mu;
  std::vector<std::string> order;
  auto note = [&](const std::string& s) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(s);
  };
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  AcquireOperationLock();  // the "dialog" operation
  std::vector<std::thread> queued;
  for (int i = 0; i < 4; ++i) {
    queued.emplace_back([&, i] {
      OperationGuard guard;
      if (++inside > 1) overlap = true;
      note("op" + std::to_string(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(80));
      --inside;
    });
    // Arrival order is the order of the calls.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  {
    OperationPause pause;  // the others run while "the operator" answers
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // op0 runs now; op1..op3 wait. The pause ends: it goes ahead of them.
  }
  note("resumed");
  ReleaseOperationLock();
  for (auto& t : queued) t.join();
  EXPECT_FALSE(overlap);
  ASSERT_EQ(5u, order.size());
  EXPECT_EQ("op0", order[0]);
  EXPECT_EQ("resumed", order[1]);
  EXPECT_EQ("op1", order[2]);
  EXPECT_EQ("op2", order[3]);
  EXPECT_EQ("op3", order[4]);
  // Outside the lock a pause changes nothing.
  { OperationPause nothing; }
  OperationGuard again;
}

TEST(OperationLock, APlaceTakenOnArrivalKeepsItsOrderWhileItsRequestIsParsed) {
  std::vector<std::string> order;
  std::mutex mu;
  auto note = [&](const std::string& s) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(s);
  };
  {
    OperationTurn first;   // arrived first, still "parsing"
    OperationTurn second;  // arrived second, parsed at once
    std::thread later([&] {
      second.Wait();
      note("second");
      second.Done();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    note("first parsed");
    first.Wait();
    note("first");
    first.Done();
    later.join();
  }
  // A place given up without running lets the next one go.
  {
    OperationTurn dropped;
    OperationTurn next;
    std::thread later([&] {
      next.Wait();
      note("next");
    });  // next releases in its destructor
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    dropped.Done();
    later.join();
  }
  OperationGuard free;  // nothing is left holding the lock
  ASSERT_EQ(4u, order.size());
  EXPECT_EQ("first parsed", order[0]);
  EXPECT_EQ("first", order[1]);
  EXPECT_EQ("second", order[2]);
  EXPECT_EQ("next", order[3]);
}

class ServeFromMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = soap_new();
    soap_set_mode(ctx_, SOAP_C_UTFSTRING);
    ctx_->fget = StaticFileHandler;
  }
  void TearDown() override { soap_free(ctx_); }
  std::string Serve(const std::string& request) {
    std::string answer;
    testing::internal::CaptureStdout();
    ServeRequest(ctx_, request, &answer);
    log_ = testing::internal::GetCapturedStdout();
    return answer;
  }
  struct soap* ctx_ = nullptr;
  std::string log_;
};

TEST_F(ServeFromMemory, GetAndPostAreAnsweredIntoTheBuffer) {
  std::string a = Serve("GET /nothing HTTP/1.0\r\nHost: x\r\n\r\n");
  EXPECT_EQ(0u, a.find("HTTP/1.1 200 OK\r\n")) << a;
  EXPECT_NE(std::string::npos, a.find("\r\n\r\n <HTML> SOAP method should be post. </HTML> "));
  // The request line is logged as received.
  EXPECT_EQ("get file msgbuf GET /nothing HTTP/1.0.", log_);

  const std::string body =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:ns=\"urn:Ostra\"><SOAP-ENV:Body><ns:GetRefreshTime/></SOAP-ENV:Body>"
      "</SOAP-ENV:Envelope>";
  std::string b = Serve("POST / HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(0u, b.find("HTTP/1.1 200 OK\r\n")) << b;
  EXPECT_NE(std::string::npos, b.find("<ns:GetRefreshTimeResponse>"));
  // An unknown operation is a fault, and the next request is served.
  std::string wrong = body;
  wrong.replace(wrong.find("GetRefreshTime"), 14, "NoSuchThing123");
  std::string c = Serve("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(wrong.size()) +
                        "\r\n\r\n" + wrong);
  EXPECT_NE(std::string::npos, c.find("SOAP-ENV:Fault")) << c;
  EXPECT_NE(std::string::npos, Serve("GET / HTTP/1.1\r\n\r\n").find("should be post"));
}

}  // namespace
}  // namespace torvane
