#include <gtest/gtest.h>

#include "platform/CertNames.h"

namespace {

using platform::CertificateNames;
using platform::CertificateNamesHost;

TEST(CertNames, MatchesAsBrowsersDo) {
  const CertificateNames names{
      {"dispatch.corvel.example", "*.up.corvel.example", "Mixed.Corvel.Example.", "*.example",
       "f*.corvel.example", "a.*.corvel.example", "10.0.0.9"},
      {std::string("\x7F\x00\x00\x01", 4), std::string(16, '\0')}};
  struct Case {
    const char* host;
    bool matches;
  } cases[] = {
      {"dispatch.corvel.example", true},
      {"DISPATCH.corvel.EXAMPLE", true},   // case
      {"dispatch.corvel.example.", true},  // trailing dot on the host
      {"mixed.corvel.example", true},      // trailing dot on the entry
      {"a.up.corvel.example", true},       // wildcard: one label
      {"up.corvel.example", false},        // the wildcard needs a label
      {"a.b.up.corvel.example", false},    // and only one
      {"x.example", false},                // "*.example" covers nothing
      {"foo.corvel.example", false},       // partial wildcards cover nothing
      {"a.b.corvel.example", false},       // nor inner ones
      {"other.corvel.example", false},
      {"dispatch..corvel.example", false},
      {"127.0.0.1", true},  // an address against the IP entries
      {"10.0.0.9", false},  // never against a DNS entry written as one
      {"127.0.0.2", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CertificateNamesHost(names, c.host), c.matches) << c.host;
  }
}

}  // namespace
