// The progress display's lines on a fake terminal width, and the speed measurement.
#include "host/Progress.h"

#include <gtest/gtest.h>

#include "host/ErrorMeaning.h"

using host::ColumnsOf;
using host::FitColumns;
using host::RenderTaskLine;
using host::TaskDisplay;

namespace {

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
  EXPECT_NE(line.find("60.0 MiB / 100.0 MiB"), std::string::npos);
  // Without a measured speed, the task's own seconds: 50 MiB in 5 s.
  EXPECT_NE(line.find("10.0 MiB/s  ETA 4s"), std::string::npos) << line;
  // A measured speed wins: 40 MiB left at 1 MiB/s.
  d.bytesPerSecond = 1 << 20;
  EXPECT_NE(RenderTaskLine(d, 100).find("1.0 MiB/s  ETA 40s"), std::string::npos);
  for (int width : {20, 30, 45, 80}) EXPECT_LE(ColumnsOf(RenderTaskLine(d, width)), width);

  d.view.status = 9;
  EXPECT_NE(RenderTaskLine(d, 100).find("done"), std::string::npos);
  d.alreadyOnServer = true;
  EXPECT_NE(RenderTaskLine(d, 100).find("already on the server"), std::string::npos);

  d.view.status = 70;
  d.view.errCode = 401;
  d.view.retry = 2;
  d.view.wait = 1;
  d.retryWaitSeconds = 6;
  EXPECT_NE(RenderTaskLine(d, 100).find("retry 2 in 5 s"), std::string::npos);

  d.view.status = 7;
  d.view.errCode = 601;
  EXPECT_NE(RenderTaskLine(d, 120).find("error 601: sending the file failed"), std::string::npos);
  d.view.errCode = 300;
  EXPECT_NE(RenderTaskLine(d, 120).find("stopped"), std::string::npos);
}

TEST(Progress, NamesAreCutBetweenCharactersAndKeepTheirEnd) {
  TaskDisplay d;
  d.view.status = 2;
  // Twenty wide characters (three bytes, two columns each) and an extension.
  std::string wide;
  for (int i = 0; i < 20; ++i) wide += "\xE6\x96\x87";
  d.view.fileName = "/d/" + wide + ".txt";
  for (int width : {20, 33, 60, 61}) {
    std::string line = RenderTaskLine(d, width);
    EXPECT_LE(ColumnsOf(line), width) << width;
    EXPECT_EQ(FitColumns(line, 1000), line) << "cut inside a character at width " << width;
  }
  std::string line = RenderTaskLine(d, 60);
  EXPECT_EQ(line.compare(0, 3, "..."), 0) << line;
  EXPECT_NE(line.find(".txt   queued"), std::string::npos) << line;  // padded to its column
  EXPECT_NE(RenderTaskLine(d, 200).find(wide + ".txt"), std::string::npos);
}

TEST(Progress, ControlCharactersAndBrokenUtf8NeverReachTheTerminal) {
  EXPECT_EQ(FitColumns("a\x1b[2Jb\r\n\x7f", 80), "a?[2Jb???");
  EXPECT_EQ(FitColumns("x\xB5\xC4y", 80), "x??y");
  EXPECT_EQ(FitColumns("\xC0\xAF", 80), "??");       // an overlong '/'
  EXPECT_EQ(FitColumns("\xED\xA0\x80", 80), "???");  // a surrogate
  EXPECT_EQ(FitColumns("\xC2\x9B"
                       "2J",
                       80),
            "?2J");  // C1 CSI
  EXPECT_EQ(FitColumns("caf\xC3\xA9", 80, 6), "caf\xC3\xA9  ");
  EXPECT_EQ(FitColumns("\xE6\x96\x87\xE6\x96\x87", 3), "\xE6\x96\x87");
  EXPECT_EQ(ColumnsOf("\xF0\x9F\x98\x80"), 2);
}

TEST(Progress, HumanUnits) {
  EXPECT_EQ(host::HumanBytes(0), "0 B");
  EXPECT_EQ(host::HumanBytes(1023), "1023 B");
  EXPECT_EQ(host::HumanBytes(1536), "1.5 KiB");
  EXPECT_EQ(host::HumanBytes(int64_t{5} << 40), "5.0 TiB");
  EXPECT_EQ(host::HumanDuration(59), "59s");
  EXPECT_EQ(host::HumanDuration(187), "3m07s");
  EXPECT_EQ(host::HumanDuration(7500), "2h05m");
}

TEST(RateMeter, MeasuresOverItsWindowAndStartsAfreshOnANewAttempt) {
  host::RateMeter m(3.0);
  m.Add(10.0, 0);
  m.Add(10.1, 100);
  EXPECT_EQ(m.BytesPerSecond(), 0.0);  // too short a span to tell
  m.Add(11.0, 1000);
  EXPECT_DOUBLE_EQ(m.BytesPerSecond(), 1000.0);
  // Old samples leave the window: only the last three seconds count.
  m.Add(20.0, 1000);
  m.Add(22.0, 5000);
  EXPECT_DOUBLE_EQ(m.BytesPerSecond(), 2000.0);
  // A retry goes on from an earlier offset.
  m.Add(23.0, 100);
  EXPECT_EQ(m.BytesPerSecond(), 0.0);
}

}  // namespace
