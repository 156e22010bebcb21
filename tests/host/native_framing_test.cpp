// The native-messaging frames: messages arriving in pieces of any size, and every way a length
// or the input can be wrong, none of which may allocate from the length or hang.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/NativeFraming.h"

namespace {

std::string Head(uint32_t length) {
  std::string h(4, '\0');
  std::memcpy(h.data(), &length, 4);
  return h;
}

std::string Frame(const std::string& body) {
  return Head(static_cast<uint32_t>(body.size())) + body;
}

// Hands out data at most `piece` bytes per read; then the end (or an error).
host::ByteSource Pieces(const std::string& data, size_t piece, bool failAtEnd = false) {
  auto pos = std::make_shared<size_t>(0);
  return [data, piece, pos, failAtEnd](char* buffer, size_t n) -> int64_t {
    if (*pos == data.size()) return failAtEnd ? -1 : 0;
    const size_t take = std::min({n, piece, data.size() - *pos});
    std::memcpy(buffer, data.data() + *pos, take);
    *pos += take;
    return static_cast<int64_t>(take);
  };
}

struct ReadCase {
  const char* name;
  std::string input;
  std::vector<host::FrameRead> expected;  // in order; each kFrame yields the next body
  std::vector<std::string> bodies;
  bool failAtEnd = false;
};

TEST(NativeFraming, ReadsEveryShapeOfInputInPiecesOfAnySize) {
  const std::string big(host::kMaxFrameBytes, 'x');
  using R = host::FrameRead;
  const std::vector<ReadCase> cases = {
      {"two frames",
       Frame("{\"a\":1}") + Frame("[]"),
       {R::kFrame, R::kFrame, R::kEnd},
       {"{\"a\":1}", "[]"}},
      {"nothing at all", "", {R::kEnd}, {}},
      {"length 0 keeps the channel in step",
       Head(0) + Frame("1"),
       {R::kEmpty, R::kFrame, R::kEnd},
       {"1"}},
      {"exactly the bound", Frame(big), {R::kFrame, R::kEnd}, {big}},
      {"one byte over the bound", Head(host::kMaxFrameBytes + 1) + "x", {R::kTooLarge}, {}},
      {"a garbage length", "\xff\xff\xff\xff{}", {R::kTooLarge}, {}},
      {"the input ends inside the length", std::string("\x05\x00", 2), {R::kTruncated}, {}},
      {"the input ends inside the body", Head(10) + "abc", {R::kTruncated}, {}},
      {"a read error", Frame("ok"), {R::kFrame, R::kError}, {"ok"}, true},
  };
  for (const ReadCase& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{1} << 30}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      host::ByteSource source = Pieces(c.input, piece, c.failAtEnd);
      size_t body = 0;
      for (R want : c.expected) {
        std::string message = "stale";
        const R got = host::ReadFrame(source, &message);
        ASSERT_EQ(static_cast<int>(got), static_cast<int>(want));
        if (got == R::kFrame) {
          EXPECT_EQ(message, c.bodies.at(body++));
        } else {
          EXPECT_TRUE(message.empty());
        }
      }
    }
  }
}

TEST(NativeFraming, ASourceThatOverstatesItsCountIsAnError) {
  const std::string frame = Frame("abc");
  host::ByteSource lying = [&](char* buffer, size_t n) -> int64_t {
    std::memcpy(buffer, frame.data(), std::min(n, frame.size()));
    return static_cast<int64_t>(n + 1);
  };
  std::string message;
  EXPECT_EQ(host::ReadFrame(lying, &message), host::FrameRead::kError);
}

TEST(NativeFraming, WritesWholeFramesThroughShortWritesAndRefusesOversizedOnes) {
  std::string written;
  host::ByteSink trickle = [&](const char* data, size_t n) -> int64_t {
    written.append(data, std::min<size_t>(n, 2));
    return static_cast<int64_t>(std::min<size_t>(n, 2));
  };
  const std::string body = "{\"id\":1,\"result\":\"a\\nb\"}";
  ASSERT_TRUE(host::WriteFrame(trickle, body));
  EXPECT_EQ(written, Frame(body));
  written.clear();
  EXPECT_FALSE(host::WriteFrame(trickle, std::string(host::kMaxFrameBytes + 1, 'x')));
  EXPECT_TRUE(written.empty());
  host::ByteSink broken = [](const char*, size_t) -> int64_t { return -1; };
  EXPECT_FALSE(host::WriteFrame(broken, body));
}

}  // namespace
