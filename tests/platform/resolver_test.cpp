// The resolver's override table and dotted-address parsing, and the diagnostics sink.
#include "platform/Resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "tests/support/FaultEnv.h"

namespace {

using platform::SocketError;

TEST(Resolver, EntriesAreTakenOnlyInCurlsForm) {
  struct Case {
    const char* entry;
    bool taken;
  };
  const Case cases[] = {
      {"dispatch.corvel.example:80:127.0.0.1", true},
      {"UP.corvel.example:8080:10.0.0.2", true},  // names are matched without case
      {"a:1:1.2.3.4", true},
      {"no-port::127.0.0.1", false},
      {"h:0:127.0.0.1", false},
      {"h:65536:127.0.0.1", false},
      {"h:80:256.0.0.1", false},
      {"h:80:1.2.3", false},
      {"h:80:localhost", false},
      {":80:127.0.0.1", false},
      {"h:80", false},
      {"", false},
  };
  testing_support::FaultEnv env;
  for (const Case& c : cases) {
    platform::Resolver resolver(env);
    EXPECT_EQ(resolver.AddEntry(c.entry), c.taken) << c.entry;
  }
}

TEST(Resolver, AnOverrideAppliesToItsHostAndPortOnly) {
  testing_support::FaultEnv env;
  platform::Resolver resolver(env);
  ASSERT_TRUE(resolver.AddEntry("UP.corvel.example:8080:10.0.0.2"));
  uint32_t addr = 0;
  SocketError error = SocketError::kNone;
  ASSERT_TRUE(resolver.ResolveIPv4("up.corvel.example", 8080, &addr, &error));
  EXPECT_EQ(addr, inet_addr("10.0.0.2"));
  ASSERT_TRUE(resolver.ResolveIPv4("192.168.1.9", 1, &addr, &error));  // dotted text as is
  EXPECT_EQ(addr, inet_addr("192.168.1.9"));
  // The same name on another port is not overridden, and .example names resolve nowhere.
  EXPECT_FALSE(resolver.ResolveIPv4("up.corvel.example", 80, &addr, &error));
  resolver.Clear();
  EXPECT_FALSE(resolver.ResolveIPv4("up.corvel.example", 8080, &addr, &error));
}

TEST(Diagnostics, ASinkSeesEachTextOnItsChannelUntilItIsRemoved) {
  platform::Diagnostics diagnostics;
  std::vector<std::pair<platform::DiagChannel, std::string>> seen;
  diagnostics.SetSink(
      [&](platform::DiagChannel c, std::string_view t) { seen.emplace_back(c, std::string(t)); });
  diagnostics.DebugOutput("GET /x");
  diagnostics.ConsoleOutput("Start Hash\n");
  diagnostics.SetSink({});
  diagnostics.ConsoleOutput("not seen");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(platform::DiagChannel::kDebugger, std::string("GET /x")));
  EXPECT_EQ(seen[1], std::make_pair(platform::DiagChannel::kConsole, std::string("Start Hash\n")));
}

}  // namespace
