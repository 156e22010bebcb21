// HTTPS end to end, against servers on loopback: the reference server serving TLS, nginx
// terminating TLS in front of it, openssl s_server's handshake variants, and tinyproxy and
// OpenSSH's SOCKS forwarding carrying TLS in their tunnels. Refusals prove that no request line
// reached the server. Every case makes its own private root.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "control/UpLoadObjCore.h"
#include "net/Http.h"
#include "server/ReferenceServer.h"
#include "tests/support/ControlFixture.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/Nginx.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPki.h"
#include "upload/Runtime.h"

using platform::StatusCode;
using refserver::ReferenceServer;
using testing_support::TestPki;

namespace {

constexpr const char* kDispatch = "dispatch.corvel.example";
constexpr const char* kUpload = "upload.corvel.example";
constexpr int64_t kFileSize = 3 << 20;

class HttpsRoad : public ::testing::Test {
 protected:
  HttpsRoad() {
    env_.IsolateVars();  // no proxy of the machine's
    env_.SetVar("APPDATA", dir_.path() + "/appdata");
    runtime_.transport.connectTimeoutMs = 5000;
    runtime_.transport.idleTimeoutMs = 10000;
    runtime_.transport.SetTrust({pki_.RootFile()});
  }
  ~HttpsRoad() override { runtime_.workers.WaitIdle(20000); }

  struct ServerSpec {
    bool tls = true;
    std::string uploadHost = kUpload;
    uint16_t uploadPort = 0;
    int idleTimeoutMs = 30000;
  };
  std::unique_ptr<ReferenceServer> StartServer(const ServerSpec& spec) {
    refserver::ServerOptions o;
    o.storeDir = dir_.File("store-" + std::to_string(++servers_));
    if (spec.tls) {
      o.tlsCertFile = leaf_.chain;
      o.tlsKeyFile = leaf_.key;
    }
    o.uploadHost = spec.uploadHost;
    o.uploadPort = spec.uploadPort;
    o.idleTimeoutMs = spec.idleTimeoutMs;
    auto server = std::make_unique<ReferenceServer>(o);
    EXPECT_TRUE(server->Start()) << server->Error();
    MapNames(server->Port());
    return server;
  }
  void MapNames(uint16_t port) {
    for (const char* host : {kDispatch, kUpload}) runtime_.resolver.Add(host, port, "127.0.0.1");
  }
  static std::string Url(uint16_t port) {
    return std::string("https://") + kDispatch + ":" + std::to_string(port) + "/index.php";
  }
  std::string MakeFile(const std::string& name) {
    const std::string path = dir_.File(name);
    testing_support::WritePatternFile(path, kFileSize, static_cast<uint32_t>(name.size()));
    return path;
  }
  static std::string Param(const std::string& path) {
    return "sha1={sha1}&size=" + std::to_string(kFileSize) +
           "&name=" + path.substr(path.find_last_of('/') + 1) + "&pick_code={pick_code}";
  }
  // Uploads path through a control to the dispatch address url; the task's last state.
  TaskState Upload(const std::string& url, const std::string& path) {
    CUpLoadObjCore core(runtime_);
    core.InitService("u1", "SID=c1", url.c_str(), 0, 0);
    EXPECT_TRUE(core.Initialized());
    EXPECT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
    EXPECT_EQ(core.ContinueUpTask(1), 1);
    TaskState state;
    testing_support::WaitOnChanges(
        core,
        [&] {
          core.GetTaskState(1, &state);
          return state.status == kStatusCompleted || state.status == kStatusStopped;
        },
        60000);
    core.Shutdown();
    return state;
  }

  testing_support::TempDir dir_;
  testing_support::FaultEnv env_;
  TestPki pki_{dir_.path()};
  TestPki::Leaf leaf_ = pki_.Issue("server", {{kDispatch, kUpload, "localhost"}});
  Runtime runtime_{env_};
  int servers_ = 0;
};

TEST_F(HttpsRoad, EveryRequestOfATaskGoesOverVerifiedTlsWithOneFullHandshake) {
  // The upload server named as the dispatch server is: one host and port, one session.
  auto server = StartServer({.uploadHost = kDispatch});
  const TaskState done = Upload(Url(server->Port()), MakeFile("a.bin"));
  EXPECT_EQ(done.status, kStatusCompleted) << done.lastFailure;
  const refserver::ServerStats stats = server->Stats();
  EXPECT_EQ(stats.uploadBytes, kFileSize);
  EXPECT_EQ(stats.tlsHandshakes, 4);  // dispatch, check, upload, finish
  EXPECT_EQ(stats.tlsResumed, 3);
  EXPECT_EQ(stats.lastTlsServerName, kDispatch);

  // The deletion of a begun upload goes over TLS too, and carries the cookie there.
  server->SetFault("fin", {.status = 500});
  CUpLoadObjCore core(runtime_);
  core.InitService("u1", "SID=c1", Url(server->Port()).c_str(), 0, 0);
  const std::string path = MakeFile("bb.bin");
  ASSERT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
  core.ContinueUpTask(1);
  TaskState failed;
  testing_support::WaitOnChanges(
      core, [&] { return core.GetTaskState(1, &failed) && failed.status == kStatusStopped; },
      60000);
  EXPECT_EQ(failed.errCode, kErrFinish);
  const int before = server->Stats().tlsHandshakes;
  EXPECT_EQ(core.DeleteUpTask(1), 1);
  EXPECT_TRUE(server->WaitForStats(
      [](const refserver::ServerStats& s) { return s.lastDeleteCookie == "SID=c1"; }, 10000));
  EXPECT_EQ(server->Stats().tlsHandshakes, before + 1);
  core.Shutdown();
}

TEST_F(HttpsRoad, NothingGoesInClearAfterAnHttpsDispatch) {
  // The dispatch reply names an upload server that speaks plain HTTP (and soon gives up on
  // the handshake it cannot read).
  auto plain = StartServer({.tls = false, .idleTimeoutMs = 300});
  auto dispatch = StartServer({.uploadPort = plain->Port()});
  MapNames(plain->Port());
  const TaskState s = Upload(Url(dispatch->Port()), MakeFile("c.bin"));
  EXPECT_EQ(s.status, kStatusStopped);
  EXPECT_EQ(s.errCode, kErrCheck);
  EXPECT_NE(s.lastFailure.find("TLS handshake with upload.corvel.example"), std::string::npos)
      << s.lastFailure;
  EXPECT_TRUE(plain->Stats().targets.empty());
}

TEST_F(HttpsRoad, TheCommandSaysWhyAnUntrustedServerIsRefused) {
  auto server = StartServer({});
  testing_support::TempDir otherDir;
  TestPki stranger(otherDir.path(), "Stranger");
  const std::string file = MakeFile("d.bin");
  // The system's roots, as SSL_CERT_FILE names them (the machine's own variables cleared).
  auto run = [&](const std::string& roots) {
    const std::string cmd =
        "env -u SSL_CERT_DIR -u CURL_CA_BUNDLE -u http_proxy -u https_proxy "
        "-u all_proxy APPDATA=" +
        dir_.File("cmd-appdata") + " SSL_CERT_FILE=" + roots +
        " " FERRANT_BUILD_DIR "/host/ferrant " + "upload --retry 0 --status-lines --dispatch " +
        Url(server->Port()) + " --resolve " + kDispatch + ":" + std::to_string(server->Port()) +
        ":127.0.0.1 --resolve " + kUpload + ":" + std::to_string(server->Port()) + ":127.0.0.1 " +
        file + " 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return std::make_pair(pclose(p), out);
  };
  auto [refused, why] = run(stranger.RootFile());
  EXPECT_NE(refused, 0);
  EXPECT_NE(why.find("error 401: the dispatch request failed: the certificate of "
                     "dispatch.corvel.example is not trusted (unable to get local issuer "
                     "certificate)"),
            std::string::npos)
      << why;
  EXPECT_TRUE(server->Stats().targets.empty());
  auto [accepted, output] = run(pki_.RootFile());
  EXPECT_EQ(accepted, 0) << output;
  EXPECT_EQ(server->Stats().uploadBytes, kFileSize);
}

TEST_F(HttpsRoad, AWholeUploadThroughNginxTerminatingTls) {
  // nginx listens where the dispatch replies send the upload, and passes everything on to the
  // reference server in plain HTTP.
  const uint16_t front = testing_support::FreePort();
  auto backend = StartServer({.tls = false, .uploadPort = front});
  testing_support::Nginx nginx;
  ASSERT_TRUE(nginx.Start(dir_.path(), front, backend->Port(), leaf_.chain, leaf_.key));
  MapNames(front);
  const TaskState done = Upload(Url(front), MakeFile("e.bin"));
  EXPECT_EQ(done.status, kStatusCompleted) << done.lastFailure;
  EXPECT_EQ(backend->Stats().uploadBytes, kFileSize);
}

TEST_F(HttpsRoad, HandshakeVariantsOfOpenSslsServer) {
  const std::string www = dir_.File("www");
  ASSERT_EQ(std::system(("mkdir -p " + www + " && printf hello > " + www + "/hello.txt").c_str()),
            0);
  struct Case {
    const char* args;
    StatusCode code;
  } cases[] = {
      {"-tls1_3", StatusCode::kOk},
      {"-tls1_2", StatusCode::kOk},
      {"-tls1_2 -no_ticket", StatusCode::kOk},
      {"-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305", StatusCode::kOk},
      {"-tls1_1 -cipher DEFAULT@SECLEVEL=0", StatusCode::kTlsHandshake},
  };
  for (const Case& c : cases) {
    const uint16_t port = testing_support::FreePort();
    testing_support::ChildProcess server;
    ASSERT_TRUE(server.Start("sh -c 'cd " + www + " && exec openssl s_server -accept 127.0.0.1:" +
                                 std::to_string(port) + " -cert " + leaf_.cert + " -cert_chain " +
                                 leaf_.chain + " -key " + leaf_.key + " -WWW " + c.args + "'",
                             www + "/s_server.log", "ACCEPT"))
        << c.args;
    runtime_.resolver.Add(kDispatch, port, "127.0.0.1");
    char reply[kReplyBufferSize];
    const platform::Status s = HttpGet(Call{runtime_.transport, nullptr}, "/hello.txt",
                                       {Scheme::kHttps, kDispatch, port}, reply);
    EXPECT_EQ(s.code(), c.code) << c.args << ": " << s.text();
    if (s.ok()) {
      EXPECT_STREQ(reply, "hello") << c.args;
    }
  }
}

TEST_F(HttpsRoad, TlsRunsInsideProxyTunnelsWithTheTargetsName) {
  auto server = StartServer({});
  // tinyproxy resolves the service's names through a hosts file of the test's own.
  const std::string hosts = dir_.File("hosts");
  std::ofstream(hosts) << "127.0.0.1 localhost " << kDispatch << " " << kUpload << "\n";
  testing_support::TinyProxy connect;
  ASSERT_TRUE(connect.Start(dir_.path(), server->Port(), "", hosts));
  env_.SetVar("https_proxy", "http://127.0.0.1:" + std::to_string(connect.port()));
  const TaskState done = Upload(Url(server->Port()), MakeFile("f.bin"));
  EXPECT_EQ(done.status, kStatusCompleted) << done.lastFailure;
  EXPECT_EQ(server->Stats().lastTlsServerName, kUpload);

  // SOCKS4a through OpenSSH, which resolves the target's name itself.
  env_.UnsetVar("https_proxy");
  testing_support::SshSocks socks;
  ASSERT_TRUE(socks.Start(dir_.path()));
  env_.SetVar("all_proxy", "socks4a://127.0.0.1:" + std::to_string(socks.port()));
  char reply[kReplyBufferSize];
  const platform::Status s = HttpGet(Call{runtime_.transport, nullptr}, "/via-socks",
                                     {Scheme::kHttps, "localhost", server->Port()}, reply);
  EXPECT_TRUE(s.ok()) << s.text();
  EXPECT_EQ(server->Stats().lastTlsServerName, "localhost");
  EXPECT_EQ(server->Stats().targets.back(), "/via-socks");
}

}  // namespace
