#include "tools/noxtokenctl/commandInput.h"

#include <gtest/gtest.h>

#include "tools/noxtokenctl/ctlError.h"
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

}  // namespace
}  // namespace NoxCtl
