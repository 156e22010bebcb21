// The native host's connection: the page origin handshake that locks InitService to the service
// domain, the caller check, the end of the input shutting the control down, and the host
// manifests.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "host/BrowserHostInstall.h"
#include "host/NativeHost.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"

using nlohmann::json;

namespace {

std::string RawFrame(const std::string& body) {
  std::string frame(4, '\0');
  const auto length = static_cast<uint32_t>(body.size());
  std::memcpy(frame.data(), &length, 4);
  return frame + body;
}

std::string Frame(const json& request) {
  return RawFrame(request.dump());
}

json Request(int id, const std::string& method, json params = json::array()) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
}

class NativeHostTest : public ::testing::Test {
 protected:
  NativeHostTest() {
    env_.SetVar("APPDATA", dir_.path());
    testing_support::WriteFile(dir_.File("a.bin"), "hello");
  }

  // Serves the frames; returns the responses in order, and the exit status in *status.
  std::vector<json> Serve(const std::string& input, int* status = nullptr) {
    size_t pos = 0;
    std::string output;
    const int s = host::ServeNativeConnection(
        runtime_,
        [&](char* buffer, size_t n) -> int64_t {
          const size_t take = std::min(n, input.size() - pos);
          std::memcpy(buffer, input.data() + pos, take);
          pos += take;
          return static_cast<int64_t>(take);
        },
        [&](const char* data, size_t n) -> int64_t {
          output.append(data, n);
          return static_cast<int64_t>(n);
        },
        nullptr);
    if (status) *status = s;
    std::vector<json> responses;
    for (size_t at = 0; at + 4 <= output.size();) {
      uint32_t length = 0;
      std::memcpy(&length, output.data() + at, 4);
      responses.push_back(json::parse(output.substr(at + 4, length)));
      at += 4 + length;
    }
    return responses;
  }

  // Open with origin, InitService, then AddUpTask: its result tells whether a manager exists.
  json AddAfterOpen(const json& openParams) {
    const std::string input =
        Frame(Request(0, "Open", openParams)) +
        Frame(Request(1, "InitService",
                      {"u1", "c", "http://dispatch.corvel.example/index.php", 0, 0})) +
        Frame(Request(2, "AddUpTask", {1, dir_.File("a.bin"), ""}));
    return Serve(input).back()["result"];
  }

  testing_support::TempDir dir_;
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
};

TEST_F(NativeHostTest, InitServiceIsRefusedUnlessTheFirstMessageOpensAServicePage) {
  EXPECT_EQ(AddAfterOpen({"https://www.corvel.example"}), 1);
  EXPECT_EQ(AddAfterOpen({"http://user:pw@WWW.Corvel.Example:8080"}), 1);
  for (const json& forged :
       {json{"http://evil.test"}, json{"https://corvel.example.evil.test:443"},
        json{"http://evil.test/#.example"}, json{"http://evil.test?x=.example"},
        json{"file:///home/u/page.example"}, json{"null"}, json{""}, json{"x.example"},
        json{"https://www.corvel.example", "extra"}, json{42}}) {
    SCOPED_TRACE(forged.dump());
    EXPECT_EQ(AddAfterOpen(forged), 0);
  }
  // Without Open, and with Open after another request, the page host never passes.
  const std::string late =
      Frame(Request(1, "GetTaskCount")) +
      Frame(Request(2, "Open", {"https://www.corvel.example"})) +
      Frame(Request(3, "InitService", {"u1", "c", "http://dispatch.corvel.example/", 0, 0})) +
      Frame(Request(4, "GetTaskCount"));
  const std::vector<json> r = Serve(late);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1]["error"]["code"], -32600);
  EXPECT_EQ(r[3]["result"], 0);
}

TEST_F(NativeHostTest, BadFramesGetAnErrorOrEndTheHostCleanly) {
  const std::string open = Frame(Request(0, "Open", {"https://www.corvel.example"}));
  struct Case {
    const char* name;
    std::string input;
    int status;
    std::vector<int> codes;  // error code per response; 0 for a result
  };
  const std::vector<Case> cases = {
      {"end of input", open, host::kExitHostEnd, {0}},
      {"length 0 then a request",
       open + std::string(4, '\0') + Frame(Request(1, "GetTaskCount")),
       host::kExitHostEnd,
       {0, -32700, 0}},
      {"invalid JSON",
       open + RawFrame("{\"jsonrpc\":") + Frame(Request(1, "GetTaskCount")),
       host::kExitHostEnd,
       {0, -32700, 0}},
      {"too large", open + std::string("\x01\x00\x10\x00", 4), host::kExitHostBroken, {0, -32600}},
      {"ends inside a frame",
       open + std::string("\x40\x00\x00\x00{\"id\"", 9),
       host::kExitHostBroken,
       {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int status = -1;
    const std::vector<json> r = Serve(c.input, &status);
    EXPECT_EQ(status, c.status);
    ASSERT_EQ(r.size(), c.codes.size());
    for (size_t i = 0; i < r.size(); ++i) {
      EXPECT_EQ(r[i].contains("error") ? r[i]["error"]["code"].get<int>() : 0, c.codes[i]);
    }
  }
}

// A page that waits for changes: the input comes in steps, each sent once the host has written
// as many responses as the step names, and built from the responses so far; the input ends
// after the last step.
class NativeHostWaitTest : public NativeHostTest {
 protected:
  struct Step {
    size_t after;  // responses written before this step is sent
    std::function<std::string(const std::vector<json>&)> input;
  };

  std::vector<json> Converse(const std::vector<Step>& steps) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<json> responses;
    std::string pending, partial;
    size_t next = 0;
    host::ServeNativeConnection(
        runtime_,
        [&](char* buffer, size_t n) -> int64_t {
          std::unique_lock<std::mutex> g(m);
          while (pending.empty()) {
            if (next == steps.size()) return 0;
            const Step& step = steps[next];
            // A host that never answers fails the test instead of hanging it.
            if (!cv.wait_for(g, std::chrono::seconds(20),
                             [&] { return responses.size() >= step.after; })) {
              ADD_FAILURE() << "no response " << step.after;
              return 0;
            }
            pending = step.input(responses);
            ++next;
          }
          const size_t take = std::min(n, pending.size());
          std::memcpy(buffer, pending.data(), take);
          pending.erase(0, take);
          return static_cast<int64_t>(take);
        },
        [&](const char* data, size_t n) -> int64_t {
          std::lock_guard<std::mutex> g(m);
          partial.append(data, n);
          uint32_t length = 0;
          while (partial.size() >= 4 &&
                 (std::memcpy(&length, partial.data(), 4), partial.size() >= 4 + length)) {
            responses.push_back(json::parse(partial.substr(4, length)));
            partial.erase(0, 4 + length);
          }
          cv.notify_all();
          return static_cast<int64_t>(n);
        },
        nullptr);
    return responses;
  }

  static json Wait(int id, uint64_t seen, int timeoutMs) {
    return Request(id, "WaitForChange", {seen, timeoutMs});
  }
  static json ById(const std::vector<json>& r, int id) {
    for (const json& j : r) {
      if (j["id"] == id) return j;
    }
    return nullptr;
  }
  static int Position(const std::vector<json>& r, int id) {
    for (size_t i = 0; i < r.size(); ++i) {
      if (r[i]["id"] == id) return static_cast<int>(i);
    }
    return -1;
  }
};

TEST_F(NativeHostWaitTest, AWaitIsAnsweredByAChangeWhileOtherCallsGoOn) {
  ASSERT_TRUE(runtime_.resolver.AddEntry("dispatch.corvel.example:9:127.0.0.1"));
  const auto start = std::chrono::steady_clock::now();
  const std::vector<json> r = Converse({
      {0,
       [&](const auto&) {
         return Frame(Request(0, "Open", {"https://www.corvel.example"})) +
                Frame(Request(1, "InitService",
                              {"u1", "c", "http://dispatch.corvel.example:9/index.php", 0, 0})) +
                Frame(Request(2, "AddUpTask", {1, dir_.File("a.bin"), ""})) + Frame(Wait(3, 0, 0));
       }},
      // Nothing changes: the wait stays open while GetTaskCount is answered, then the task
      // starts and the wait is answered with the new count.
      {4,
       [](const auto& got) {
         const uint64_t c = ById(got, 3)["result"];
         return Frame(Wait(4, c, 20000)) + Frame(Request(5, "GetTaskCount"));
       }},
      {5, [](const auto&) { return Frame(Request(6, "ContinueUpTask", {1})); }},
      {7, [](const auto&) { return std::string(); }},
  });
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(ById(r, 5)["result"], 1);
  EXPECT_LT(Position(r, 5), Position(r, 4));
  EXPECT_GT(ById(r, 4)["result"].get<uint64_t>(), ById(r, 3)["result"].get<uint64_t>());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(NativeHostWaitTest, AWaitEndsAtItsDeadlineOrWhenReplacedAndChecksItsParams) {
  const std::vector<json> r = Converse({
      {0,
       [](const auto&) {
         return Frame(Request(0, "Open", {"https://www.corvel.example"})) + Frame(Wait(1, 0, 0));
       }},
      {2,
       [](const auto& got) {
         const uint64_t c = ById(got, 1)["result"];
         return Frame(Wait(2, c, 50)) + Frame(Wait(3, c, 20000)) + Frame(Wait(4, c, 20000)) +
                Frame(Request(5, "WaitForChange", {-1, 0})) +
                Frame(Request(6, "WaitForChange", {"1", 0})) +
                Frame(Request(7, "WaitForChange", {1}));
       }},
      // 2 ends by its deadline, 3 is replaced by 4; 4 stays open until the input ends.
      {7, [](const auto&) { return std::string(); }},
  });
  ASSERT_EQ(r.size(), 7u);
  for (int id : {2, 3}) EXPECT_EQ(ById(r, id)["result"], ById(r, 1)["result"]) << id;
  for (int id : {5, 6, 7}) EXPECT_EQ(ById(r, id)["error"]["code"], -32602) << id;
  EXPECT_EQ(ById(r, 4), nullptr);
}

TEST(NativeHostCaller, OnlyTheFerrantExtensionIsServed) {
  using host::Caller;
  const std::string chromium =
      std::string("chrome-extension://") + host::kChromiumExtensionId + "/";
  const struct {
    std::vector<std::string> args;
    Caller caller;
  } cases[] = {
      {{chromium}, Caller::kChromium},
      {{chromium, "--parent-window=0"}, Caller::kChromium},
      {{"/home/u/.mozilla/native-messaging-hosts/com.corvel.ferrant.json",
        host::kFirefoxExtensionId},
       Caller::kFirefox},
      {{"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}, Caller::kForeign},
      {{chromium + "x"}, Caller::kForeign},
      {{"C:\\hosts\\com.corvel.ferrant.JSON", "other@example.org"}, Caller::kForeign},
      {{}, Caller::kNone},
      {{"rpc"}, Caller::kNone},
      {{"upload", "a.json"}, Caller::kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::CallerOf(c.args), c.caller) << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST(BrowserHostInstall, ManifestsNameThisProgramAndOnlyOurExtension) {
  const json chromium = json::parse(host::HostManifest(host::BrowserFamily::kChromium, "/opt/f"));
  EXPECT_EQ(chromium["name"], "com.corvel.ferrant");
  EXPECT_EQ(chromium["path"], "/opt/f");
  EXPECT_EQ(chromium["type"], "stdio");
  EXPECT_EQ(chromium["allowed_origins"],
            json::array({std::string("chrome-extension://") + host::kChromiumExtensionId + "/"}));
  const json firefox = json::parse(host::HostManifest(host::BrowserFamily::kFirefox, "/opt/f"));
  EXPECT_EQ(firefox["allowed_extensions"], json::array({host::kFirefoxExtensionId}));
  EXPECT_FALSE(firefox.contains("allowed_origins"));

  std::vector<host::HostTarget> targets;
  std::string why;
  host::BrowserHostOptions o;
  o.profile = "/tmp/p";
  ASSERT_TRUE(host::BrowserHostTargets(o, &targets, &why));
  ASSERT_EQ(targets.size(), 3u);  // the Chromium family only
  EXPECT_EQ(targets[0].manifestPath, "/tmp/p/NativeMessagingHosts/com.corvel.ferrant.json");
  o.browser = "firefox";
  EXPECT_FALSE(host::BrowserHostTargets(o, &targets, &why));
  o = {};
  o.browser = "opera";
  EXPECT_FALSE(host::BrowserHostTargets(o, &targets, &why));
  o = {};
  o.system = true;
  ASSERT_TRUE(host::BrowserHostTargets(o, &targets, &why));
  EXPECT_EQ(targets.back().manifestPath,
            "/usr/lib/mozilla/native-messaging-hosts/com.corvel.ferrant.json");
}

}  // namespace
