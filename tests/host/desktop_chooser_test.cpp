// The native host's file chooser on Linux: the desktop portal on a private session bus (a fake
// portal of the test's own answers, cancels, or never answers), zenity when there is no portal,
// and the portal's URIs turned into paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "host/DesktopFileChooser.h"
#include "host/PortalFileChooser.h"
#include "tests/support/TempDir.h"

namespace {

enum class Mode { kChoose, kCancel, kNeverAnswer };

// org.freedesktop.portal.Desktop on its own connection, served by a thread.
class FakePortal {
 public:
  FakePortal(const std::string& address, Mode mode) : mode_(mode) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    ok_ = sd_bus_start(bus_) >= 0 &&
          sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                                   "org.freedesktop.portal.FileChooser", kChooser, this) >= 0 &&
          sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0) >= 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50000);  // wakes up to see stop_
      }
    });
  }
  ~FakePortal() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  bool ok() const { return ok_; }
  void WaitOpened() {
    std::unique_lock<std::mutex> g(lock_);
    opened_cv_.wait(g, [&] { return opened_; });
  }
  std::atomic<int> patterns{0};
  std::atomic<bool> closed{false};

 private:
  static int OpenFile(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* portal = static_cast<FakePortal*>(self);
    const char *parent, *title, *key, *token = "t";
    sd_bus_message_read(m, "ss", &parent, &title);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      sd_bus_message_read(m, "s", &key);
      if (std::strcmp(key, "handle_token") == 0) {
        sd_bus_message_read(m, "v", "s", &token);
      } else if (std::strcmp(key, "filters") == 0) {
        const char* name;
        sd_bus_message_enter_container(m, 'v', "a(sa(us))");
        sd_bus_message_enter_container(m, 'a', "(sa(us))");
        sd_bus_message_enter_container(m, 'r', "sa(us)");
        sd_bus_message_read(m, "s", &name);
        uint32_t kind;
        const char* glob;
        sd_bus_message_enter_container(m, 'a', "(us)");
        while (sd_bus_message_read(m, "(us)", &kind, &glob) > 0) ++portal->patterns;
        for (int i = 0; i < 4; ++i) sd_bus_message_exit_container(m);
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    std::string sender = sd_bus_message_get_sender(m) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    sd_bus_add_object_vtable(portal->bus_, nullptr, path.c_str(), "org.freedesktop.portal.Request",
                             kRequest, portal);
    sd_bus_reply_method_return(m, "o", path.c_str());
    {
      std::lock_guard<std::mutex> g(portal->lock_);
      portal->opened_ = true;
    }
    portal->opened_cv_.notify_all();
    sd_bus* bus = portal->bus_;
    const char* iface = "org.freedesktop.portal.Request";
    if (portal->mode_ == Mode::kChoose) {
      sd_bus_emit_signal(bus, path.c_str(), iface, "Response", "ua{sv}", 0, 1, "uris", "as", 2,
                         "file:///tmp/d/a%20b.bin", "file:///tmp/d/c.bin");
    } else if (portal->mode_ == Mode::kCancel) {
      sd_bus_emit_signal(bus, path.c_str(), iface, "Response", "ua{sv}", 1, 0);
    }
    return 1;
  }
  static int Close(sd_bus_message* m, void* self, sd_bus_error*) {
    static_cast<FakePortal*>(self)->closed = true;
    return sd_bus_reply_method_return(m, "");
  }
  static constexpr sd_bus_vtable kChooser[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("OpenFile", "ssa{sv}", "o", OpenFile, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kRequest[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", Close, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  Mode mode_;
  std::mutex lock_;
  std::condition_variable opened_cv_;
  bool opened_ = false;
  sd_bus* bus_ = nullptr;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class DesktopChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("FERRANT_FILE_SELECTION");
    const std::string config = dir_.File("bus.conf");
    testing_support::WriteFile(
        config, "<busconfig><type>session</type><listen>unix:path=" + dir_.File("bus") +
                    "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                    "receive_sender=\"*\"/><allow "
                    "send_destination=\"*\"/><allow own=\"*\"/></policy></busconfig>");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    daemon_ = fork();
    if (daemon_ == 0) {
      dup2(out[1], 1);
      dup2(open("/dev/null", O_WRONLY), 2);  // its complaints about fd limits
      execlp("dbus-daemon", "dbus-daemon", ("--config-file=" + config).c_str(), "--nofork",
             "--print-address=1", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char line[512] = {};
    // The daemon prints its address once it listens.
    ASSERT_GT(read(out[0], line, sizeof line - 1), 0) << "dbus-daemon did not start";
    close(out[0]);
    address_ = std::string(line).substr(0, std::strcspn(line, "\n"));
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    // A zenity of the test's own, used only when the portal is not there.
    const std::string bin = dir_.File("bin");
    mkdir(bin.c_str(), 0755);
    testing_support::WriteFile(bin + "/zenity",
                               "#!/bin/sh\necho \"$@\" >\"$0.args\"\n"
                               "printf '/tmp/z/x.bin\\037/tmp/z/y.bin\\n'\n");
    chmod((bin + "/zenity").c_str(), 0755);
    setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
    setenv("DISPLAY", ":99", 1);
  }
  void TearDown() override {
    kill(daemon_, SIGTERM);
    waitpid(daemon_, nullptr, 0);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
  }
  testing_support::TempDir dir_;
  pid_t daemon_ = -1;
  std::string address_;
};

TEST_F(DesktopChooserTest, ThePortalAnswersOrCancelsAndZenityStandsInWithoutIt) {
  std::string sel;
  {
    FakePortal portal(address_, Mode::kChoose);
    ASSERT_TRUE(portal.ok());
    ASSERT_TRUE(host::DesktopFileChooser({"Pictures", "*.jpg;*.png", "All", "*.*"}, &sel));
    EXPECT_EQ(sel, std::string("/tmp/d\0a b.bin\0c.bin\0\0", 22));
    EXPECT_EQ(portal.patterns, 2);
  }
  {
    // A cancelled portal dialog is the user's answer: no other chooser is shown.
    FakePortal portal(address_, Mode::kCancel);
    ASSERT_TRUE(portal.ok());
    EXPECT_FALSE(host::DesktopFileChooser({}, &sel));
  }
  // No portal on the bus: zenity, its filter in its own syntax.
  ASSERT_TRUE(host::DesktopFileChooser({"Pictures", "*.jpg;*.png"}, &sel));
  EXPECT_EQ(sel, std::string("/tmp/z\0x.bin\0y.bin\0\0", 20));
  EXPECT_NE(testing_support::ReadFile(dir_.File("bin/zenity.args"))
                .find("--file-filter=Pictures | *.jpg *.png"),
            std::string::npos);
}

TEST_F(DesktopChooserTest, ThePageGoingAwayClosesAnOpenPortalDialog) {
  FakePortal portal(address_, Mode::kNeverAnswer);
  ASSERT_TRUE(portal.ok());
  std::string sel;
  std::atomic<bool> chosen{true};
  std::thread dialog([&] { chosen = host::DesktopFileChooser({}, &sel); });
  portal.WaitOpened();
  host::CancelDesktopChooser();
  dialog.join();
  EXPECT_FALSE(chosen);
  EXPECT_TRUE(portal.closed);
}

TEST(PortalUris, OnlyLocalFileUrisBecomePaths) {
  const std::pair<const char*, const char*> cases[] = {
      {"file:///a%20b/%C3%A9.txt", "/a b/\xC3\xA9.txt"},
      {"file://localhost/x", "/x"},
      {"file://other/x", ""},
      {"http://h/x", ""},
      {"file:///a%00b", ""},
      {"file:///a%2", ""},
      {"file:///a%zz", ""},
  };
  for (const auto& [uri, path] : cases) EXPECT_EQ(host::PathOfFileUri(uri), path) << uri;
}

}  // namespace
