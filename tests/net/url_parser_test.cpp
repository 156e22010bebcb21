// The dispatch-address parser and its quirks.
#include <gtest/gtest.h>

#include <string>

#include "net/Url.h"

namespace {

struct Parsed {
  std::string scheme, host, path;
  int port;
  std::string query;  // "a=1,b=2"
  bool truncated;
};

Parsed Parse(const char* text) {
  UrlRecord* r = ParseUrl(text);
  Parsed p{r->Scheme, r->Host, r->Path, r->Port, "", r->Truncated};
  for (QueryPair* q = r->Query; q; q = q->Next) {
    if (!p.query.empty()) p.query += ",";
    p.query += std::string(q->Name) + "=" + q->Value;
  }
  FreeUrl(r);
  return p;
}

TEST(UrlParser, WorkedExample) {
  Parsed p = Parse("http://10.0.0.5:8080/index.php?a=1&b=2");
  EXPECT_EQ(p.scheme, "HTTP");
  EXPECT_EQ(p.host, "10.0.0.5");
  EXPECT_EQ(p.port, 8080);
  EXPECT_EQ(p.path, "/index.php");
  EXPECT_EQ(p.query, "a=1,b=2");
}

TEST(UrlParser, SchemesAndPorts) {
  EXPECT_EQ(Parse("hTtP://Host.Example/x").port, 80);
  EXPECT_EQ(Parse("hTtP://Host.Example/x").host, "Host.Example");
  EXPECT_EQ(Parse("ftp://h/").port, 21);
  EXPECT_EQ(Parse("ftp://h/").scheme, "FTP");
  EXPECT_EQ(Parse("file://h/").port, 0);
  EXPECT_EQ(Parse("ftp://h:99/").port, 99);
  Parsed https = Parse("HTTPS://Dispatch.corvel.example/index.php");
  EXPECT_EQ(https.scheme, "HTTPS");
  EXPECT_EQ(https.port, 443);
  EXPECT_EQ(https.host, "Dispatch.corvel.example");
  EXPECT_EQ(Parse("https://h:8443/x").port, 8443);
  EXPECT_EQ(Parse("httpsx://h/x").scheme, "HTTP");  // an unknown scheme keeps the defaults
  // Any ':' followed by digits sets the port, even inside the query.
  EXPECT_EQ(Parse("http://h/p?t=1:30").port, 30);
  EXPECT_EQ(Parse("http://h:abc/").port, 0);
}

TEST(UrlParser, HostAndPathRules) {
  Parsed noScheme = Parse("host.example/index.php");
  EXPECT_EQ(noScheme.host, "index.php");
  EXPECT_EQ(noScheme.path, "");
  EXPECT_EQ(Parse("http://h").path, "");
  EXPECT_EQ(Parse("http://h/a/b/").path, "/a/b/");
  EXPECT_EQ(Parse("http://h/a//b").path, "/a//b");
  EXPECT_EQ(Parse("http://h\\x/y").path, "/y");
  // Characters that are neither delimiters nor letters/digits are kept.
  EXPECT_EQ(Parse("http://dispatch-1.corvel.example/up_load").host, "dispatch-1.corvel.example");
  EXPECT_EQ(Parse("http://dispatch-1.corvel.example/up_load").path, "/up_load");
}

TEST(UrlParser, QueryPairsNeedAValue) {
  EXPECT_EQ(Parse("http://h/p?a").query, "");
  EXPECT_EQ(Parse("http://h/p?a&b=2").query, "b=2");
  EXPECT_EQ(Parse("http://h/p?a=1=2").query, "a=1");
}

TEST(UrlParser, EmptyAndOverlongInput) {
  Parsed empty = Parse("");
  EXPECT_EQ(empty.scheme, "HTTP");
  EXPECT_EQ(empty.port, 80);
  EXPECT_EQ(empty.host, "");
  EXPECT_FALSE(empty.truncated);
  std::string longHost = "http://" + std::string(300, 'h') + "/p";
  Parsed p = Parse(longHost.c_str());
  EXPECT_TRUE(p.truncated);
  EXPECT_EQ(p.host.size(), 254u);
  std::string longPath = "http://h/" + std::string(250, 'a') + "/" + std::string(250, 'b');
  EXPECT_TRUE(Parse(longPath.c_str()).truncated);
  EXPECT_EQ(TokenizeUrl(""), nullptr);
}

TEST(UrlParser, TokensCarryTheirDelimiters) {
  UrlToken* t = TokenizeUrl("a//b");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Delimiter, 0);
  ASSERT_NE(t->Next, nullptr);
  EXPECT_EQ(t->Next->Delimiter, '/');
  EXPECT_STREQ(t->Next->Text, "");
  EXPECT_STREQ(t->Next->Next->Text, "b");
  FreeUrlTokens(t);
}

}  // namespace
