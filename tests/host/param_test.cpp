// The task parameter the command hands the control for a file.
#include <gtest/gtest.h>

#include "host/Session.h"
#include "tests/support/TempDir.h"

namespace {

TEST(TaskParam, SizeAndNameAreFilledAndTheNameCannotBreakTheQuery) {
  testing_support::TempDir dir;
  std::string plain = dir.File("report.pdf");
  testing_support::WriteFile(plain, std::string(1234, 'x'));
  EXPECT_EQ(host::DefaultParam(plain),
            "sha1={sha1}&size=1234&name=report.pdf&pick_code={pick_code}");
  // Separators, spaces, escapes and line ends of a name would add or cut query parameters, or
  // end the request line; UTF-8 letters travel as they are.
  std::string odd = dir.File("a&b=c?d#e f%g+h\r\ni\xC3\xA9.txt");
  testing_support::WriteFile(odd, "12");
  EXPECT_EQ(host::DefaultParam(odd),
            "sha1={sha1}&size=2&name=a_b_c_d_e_f_g_h__i\xC3\xA9.txt&pick_code={pick_code}");
  // A template of the user's own: only {size} and {name} are the command's.
  EXPECT_EQ(host::FillParam("n={name}&s={size}&h={sha1}&{other}", plain),
            "n=report.pdf&s=1234&h={sha1}&{other}");
  EXPECT_EQ(host::FillParam("size={size}", dir.File("missing")), "size=0");
}

}  // namespace
