// The reference server's own readers: the request head and its query, the multipart boundary
// in either spelling, and the upload form's head however the bytes are split.
#include <gtest/gtest.h>

#include "server/HttpRequest.h"
#include "server/Multipart.h"
#include "tests/support/server_client.h"

namespace {

using refserver::FormHead;
using refserver::FormResult;

TEST(RequestHead, QueryAndHeadersAreSplitWithoutDecoding) {
  refserver::RequestHead h;
  ASSERT_TRUE(refserver::ParseRequestHead(
      "POST /ups/up?sha1=AB&name=a%20b&&empty=&flag&sha1=second HTTP/1.1\r\n"
      "content-LENGTH:  42 \r\nHost: x\r\n\r\n",
      &h));
  EXPECT_EQ(h.method, "POST");
  EXPECT_EQ(h.path, "/ups/up");
  EXPECT_EQ(refserver::QueryValue(h, "sha1"), "AB");  // the first value wins
  EXPECT_EQ(refserver::QueryValue(h, "name"), "a%20b");
  EXPECT_EQ(refserver::QueryValue(h, "empty"), "");
  EXPECT_EQ(h.query.count("flag"), 1u);
  ASSERT_TRUE(h.contentLength);
  EXPECT_EQ(*h.contentLength, 42u);
  EXPECT_FALSE(h.badLength);

  refserver::RequestHead bad;
  ASSERT_TRUE(refserver::ParseRequestHead(
      "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", &bad));
  EXPECT_TRUE(bad.badLength);
  refserver::RequestHead sign;
  ASSERT_TRUE(refserver::ParseRequestHead("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", &sign));
  EXPECT_TRUE(sign.badLength);
  refserver::RequestHead junk;
  EXPECT_FALSE(refserver::ParseRequestHead("GARBAGE\r\n\r\n", &junk));
  EXPECT_FALSE(refserver::ParseRequestHead("GET / SMTP/1.0\r\n\r\n", &junk));
}

TEST(RequestHead, TheBoundaryIsReadBareOrAsAParameter) {
  EXPECT_EQ(refserver::MultipartBoundary("multipart/form-data; --------UpsClient.Package.17"),
            "--------UpsClient.Package.17");
  EXPECT_EQ(refserver::MultipartBoundary("multipart/form-data; boundary=----abc"), "----abc");
  EXPECT_EQ(refserver::MultipartBoundary("Multipart/Form-Data; boundary=\"q q\"; x=1"), "q q");
  EXPECT_EQ(refserver::MultipartBoundary("text/plain; boundary=x"), "");
  EXPECT_EQ(refserver::MultipartBoundary("multipart/form-data;"), "");
}

TEST(FormHead, TheClientsFormHeadIsFoundAtEverySplit) {
  auto req = testing_support::BuildUpload(std::string(40, 'A'), "pc1", "k1", 10, 0, 4, "456789",
                                          "--------UpsClient.Package.-5");
  std::string body = req.head.substr(req.head.find("\r\n\r\n") + 4) + req.data;
  const std::string boundary = "--------UpsClient.Package.-5";
  const size_t formLength = body.size() - req.data.size();
  for (size_t cut = 0; cut < formLength; ++cut) {
    FormHead f;
    ASSERT_EQ(refserver::ParseFormHead(std::string_view(body).substr(0, cut), boundary, &f),
              FormResult::kNeedMore)
        << cut;
  }
  FormHead f;
  ASSERT_EQ(refserver::ParseFormHead(body, boundary, &f), FormResult::kDone);
  EXPECT_EQ(f.headLength, formLength);
  EXPECT_EQ(f.fields["U_BlockSchema"], "0");
  EXPECT_EQ(f.fields["U_Offset"], "4");
  EXPECT_EQ(f.fileName, "pc1");
  EXPECT_EQ(body.substr(f.headLength), "456789");
}

TEST(FormHead, AWrongDelimiterOrAnUnnamedPartIsMalformed) {
  FormHead f;
  EXPECT_EQ(refserver::ParseFormHead(
                "--other\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n", "B", &f),
            FormResult::kMalformed);
  EXPECT_EQ(refserver::ParseFormHead("--B\r\nContent-Disposition: form-data\r\n\r\nx\r\n", "B", &f),
            FormResult::kMalformed);
  // A part head that never ends is refused once it is implausibly long.
  EXPECT_EQ(refserver::ParseFormHead("--B\r\n" + std::string(5000, 'h'), "B", &f),
            FormResult::kMalformed);
}

}  // namespace
