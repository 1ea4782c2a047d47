#include <gtest/gtest.h>

#include "engine/engine.h"

namespace {

TEST(CommandLine, AppendReplaceRemoveKeepOrder) {
  engine::CommandLine cl;
  cl.AppendSwitch("a");
  cl.AppendSwitchWithValue("b", "1");
  cl.AppendSwitchWithValue("--c", "x y");
  EXPECT_EQ(cl.GetCommandLineString(), "--a --b=1 --c=x y");
  EXPECT_TRUE(cl.HasSwitch("c"));
  EXPECT_TRUE(cl.HasSwitch("--b"));
  EXPECT_EQ(cl.GetSwitchValue("b"), "1");
  EXPECT_EQ(cl.GetSwitchValue("a"), "");
  EXPECT_EQ(cl.GetSwitchValue("missing"), "");

  // The last value wins and moves to the end, once.
  cl.AppendSwitchWithValue("b", "2");
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--a", "--c=x y", "--b=2"}));

  cl.RemoveSwitch("a");
  cl.RemoveSwitch("never-there");
  EXPECT_FALSE(cl.HasSwitch("a"));
  EXPECT_EQ(cl.ToArgv(), (std::vector<std::string>{"--c=x y", "--b=2"}));
  cl.AppendSwitch("");
  EXPECT_EQ(cl.switches().size(), 2u);
}

TEST(NetError, NamesMapToChromiumNumbers) {
  struct Case {
    const char* name;
    int code;
  } cases[] = {
      {"net::ERR_ABORTED", -3},
      {"ERR_ABORTED", -3},
      {"net::ERR_FAILED", -2},
      {"net::ERR_TIMED_OUT", -7},
      {"net::ERR_FILE_NOT_FOUND", -6},
      {"net::ERR_ACCESS_DENIED", -10},
      {"net::ERR_BLOCKED_BY_CLIENT", -20},
      {"net::ERR_BLOCKED_BY_RESPONSE", -27},
      {"net::ERR_CONNECTION_CLOSED", -100},
      {"net::ERR_CONNECTION_RESET", -101},
      {"net::ERR_CONNECTION_REFUSED", -102},
      {"net::ERR_CONNECTION_ABORTED", -103},
      {"net::ERR_CONNECTION_FAILED", -104},
      {"net::ERR_NAME_NOT_RESOLVED", -105},
      {"ERR_INTERNET_DISCONNECTED", -106},
      {"net::ERR_SSL_PROTOCOL_ERROR", -107},
      {"net::ERR_ADDRESS_INVALID", -108},
      {"net::ERR_ADDRESS_UNREACHABLE", -109},
      {"net::ERR_TUNNEL_CONNECTION_FAILED", -111},
      {"net::ERR_CONNECTION_TIMED_OUT", -118},
      {"net::ERR_PROXY_CONNECTION_FAILED", -130},
      {"net::ERR_CERT_COMMON_NAME_INVALID", -200},
      {"net::ERR_CERT_DATE_INVALID", -201},
      {"net::ERR_CERT_AUTHORITY_INVALID", -202},
      {"net::ERR_CERT_INVALID", -207},
      {"net::ERR_INVALID_URL", -300},
      {"net::ERR_DISALLOWED_URL_SCHEME", -301},
      {"net::ERR_UNKNOWN_URL_SCHEME", -302},
      {"net::ERR_TOO_MANY_REDIRECTS", -310},
      {"net::ERR_UNSAFE_PORT", -312},
      {"net::ERR_INVALID_RESPONSE", -320},
      {"net::ERR_EMPTY_RESPONSE", -324},
      {"net::ERR_INVALID_AUTH_CREDENTIALS", -338},
      {"net::ERR_HTTP_RESPONSE_CODE_FAILURE", -379},
      {" net::ERR_NAME_NOT_RESOLVED ", -105},
      {"net::ERR_SOMETHING_NEW", -2},
      {"", -2},
      {"garbage", -2},
  };
  for (const Case& c : cases) EXPECT_EQ(engine::net_error::FromName(c.name), c.code) << c.name;
  EXPECT_EQ(engine::net_error::FromName("net::ERR_ABORTED"), engine::net_error::kAborted);
}

}  // namespace
