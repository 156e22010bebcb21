// The progress display's lines and the reading of status lines.
#include <gtest/gtest.h>

#include "host/StatusLine.h"

using host::ParseStatusLine;
using host::RenderTaskLine;
using host::TaskDisplay;

namespace {

TEST(StatusLine, ParsesEveryFieldEvenWithBarsInTheFileName) {
  auto v = ParseStatusLine(
      "FileName=/a|b.bin|FileSize=1000|PickCode=pc|Status=6|ErrCode=300|ServerErrCode=101|"
      "ServerErrMsg=busy|Total=600|Offset=200|Elapsed=2|TotalElapsed=5");
  EXPECT_EQ(v.fileName, "/a|b.bin");
  EXPECT_EQ(v.fileSize, 1000);
  EXPECT_EQ(v.pickCode, "pc");
  EXPECT_EQ(v.status, 6);
  EXPECT_EQ(v.errCode, 300);
  EXPECT_EQ(v.serverErrCode, 101);
  EXPECT_EQ(v.serverErrMsg, "busy");
  EXPECT_EQ(v.total, 600);
  EXPECT_EQ(v.offset, 200);
  EXPECT_EQ(v.elapsed, 2);
}

TEST(Progress, LinesSayTheStateInWordsAndFitTheWidth) {
  TaskDisplay d;
  d.view.fileName = "/home/u/movie.mp4";
  d.view.fileSize = 100 << 20;
  d.view.status = 6;
  d.view.total = 60 << 20;
  d.view.offset = 10 << 20;
  d.view.elapsed = 5;
  std::string line = RenderTaskLine(d, 100);
  EXPECT_NE(line.find("movie.mp4"), std::string::npos);
  EXPECT_NE(line.find("uploading"), std::string::npos);
  EXPECT_NE(line.find(" 60%"), std::string::npos);
  EXPECT_NE(line.find("10.0 MiB/s"), std::string::npos);
  EXPECT_NE(line.find("ETA 4s"), std::string::npos);
  EXPECT_LE(RenderTaskLine(d, 30).size(), 30u);

  d.view.status = 9;
  EXPECT_NE(RenderTaskLine(d, 100).find("already on the server"), std::string::npos);
  d.uploadSeen = true;
  EXPECT_NE(RenderTaskLine(d, 100).find("done"), std::string::npos);

  d.view.status = 70;
  d.view.retry = 2;
  d.view.wait = 1;
  d.retryWaitSeconds = 6;
  EXPECT_NE(RenderTaskLine(d, 100).find("retry 2 in 5 s"), std::string::npos);

  d.view.status = 7;
  d.view.errCode = 601;
  EXPECT_NE(RenderTaskLine(d, 120).find("error 601: sending the file failed"), std::string::npos);
}

}  // namespace
