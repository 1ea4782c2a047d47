#include <gtest/gtest.h>

#include "engine/engine.h"

namespace {

TEST(CommandLine, AppendReplaceRemoveKeepOrder) {
  engine::CommandLine cl;
  cl.AppendSwitch("a");
  cl.AppendSwitchWithValue("b", "1");
  cl.AppendSwitchWithValue("--c", "x y");
  EXPECT_EQ(cl.GetCommandLineString(), "--a --b=1 --c=x y");
  EXPECT_TRUE(cl.HasSwitch("--b"));
  EXPECT_EQ(cl.GetSwitchValue("b"), "1");
  EXPECT_EQ(cl.GetSwitchValue("a"), "");

  // The last value wins and moves to the end, once.
  cl.AppendSwitchWithValue("b", "2");
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--a", "--c=x y", "--b=2"}));

  cl.RemoveSwitch("a");
  cl.RemoveSwitch("never-there");
  cl.AppendSwitch("");
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--c=x y", "--b=2"}));
}

TEST(NetError, NamesMapToChromiumNumbers) {
  struct Case {
    const char* name;
    int code;
  } cases[] = {
      {"net::ERR_ABORTED", engine::net_error::kAborted},
      {"ERR_ABORTED", -3},
      {"net::ERR_FAILED", -2},
      {"net::ERR_BLOCKED_BY_CLIENT", -20},
      {"net::ERR_CONNECTION_REFUSED", -102},
      {" net::ERR_NAME_NOT_RESOLVED ", -105},
      {"net::ERR_CERT_AUTHORITY_INVALID", -202},
      {"net::ERR_TOO_MANY_REDIRECTS", -310},
      {"net::ERR_HTTP_RESPONSE_CODE_FAILURE", -379},
      {"net::ERR_SOMETHING_NEW", -2},
      {"", -2},
  };
  EXPECT_EQ(engine::net_error::kAborted, -3);
  for (const Case& c : cases) EXPECT_EQ(engine::net_error::FromName(c.name), c.code) << c.name;
}

}  // namespace
