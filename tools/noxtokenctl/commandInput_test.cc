#include "tools/noxtokenctl/commandInput.h"

#include <gtest/gtest.h>

#include "tools/noxtokenctl/ctlError.h"
#include "tools/noxtokenctl/httpClient.h"
#include "tools/noxtokenctl/textTable.h"

namespace NoxCtl {
namespace {

TEST(CommandInputTest, GrantNamesAreCaseInsensitive) {
  EXPECT_EQ(JsonText(*ParseGrant("host:read_only"), JSON_COMPACT),
            R"({"resource_type":"HOST","entitlement":"READ_ONLY"})");
}

TEST(CommandInputTest, MalformedGrantsAreUsageErrors) {
  for (const char* grant : {"HOST", "HOST:", ":ADMINISTRATOR", "HOST:ADMINSTRATOR", "VM:OPERATOR",
                            "HOST:OPERATOR:X", ""}) {
    try {
      ParseGrant(grant);
      ADD_FAILURE() << "accepted " << grant;
    } catch (const CtlError& error) {
      EXPECT_EQ(error.Code(), ExitCode::kUsage) << grant;
    }
  }
}

TEST(CommandInputTest, SplitsPemBlocksInOrderAndIgnoresTheRest) {
  const std::string first = "-----BEGIN CERTIFICATE-----\nAAA\n-----END CERTIFICATE-----";
  const std::string second = "-----BEGIN CERTIFICATE-----\nBBB\n-----END CERTIFICATE-----";
  EXPECT_EQ(SplitPemCertificates("subject=CN=a\n" + first + "\n\n" + second +
                                 "\n-----BEGIN CERTIFICATE-----\ncut off"),
            (std::vector<std::string>{first + "\n", second + "\n"}));
}

// The daemon's address given with --url.
TEST(HttpClientTest, ParsesHostPortAndPathOfPlainHttpOnly) {
  const auto Parts = [](const char* url) {
    const auto parsed = ParseHttpUrl(url);
    return parsed ? parsed->host + " " + parsed->port + " " + parsed->target : "refused";
  };
  EXPECT_EQ(Parts("http://localhost:9199/api"), "localhost 9199 /api");
  EXPECT_EQ(Parts("http://[::1]"), "::1 80 /");
  for (const char* url :
       {"https://localhost/api", "localhost:9199", "http://:9199/api", "http://host:0/",
        "http://host:65536", "http://host:9x/", "http://[::1/api", "http://[::1]x/",
        "http://::1:9199/", "http://user@host/"}) {
    EXPECT_FALSE(ParseHttpUrl(url)) << url;
  }
}

}  // namespace
}  // namespace NoxCtl
