#include "tools/noxtokenctl/httpClient.h"

#include <gtest/gtest.h>

namespace NoxCtl {
namespace {

TEST(HttpClientTest, ParsesHostPortAndPath) {
  const auto plain = ParseHttpUrl("http://localhost:9199/api");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->host, "localhost");
  EXPECT_EQ(plain->port, "9199");
  EXPECT_EQ(plain->target, "/api");
  const auto bare = ParseHttpUrl("http://[::1]");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->host, "::1");
  EXPECT_EQ(bare->port, "80");
  EXPECT_EQ(bare->target, "/");
}

class BadUrlTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadUrlTest, IsRefused) { EXPECT_FALSE(ParseHttpUrl(GetParam())) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Urls, BadUrlTest,
                         ::testing::Values("https://localhost/api", "localhost:9199",
                                           "http://:9199/api", "http://host:0/",
                                           "http://host:65536", "http://host:9x/",
                                           "http://[::1/api", "http://[::1]x/", "http://::1:9199/",
                                           "http://user@host/"));

}  // namespace
}  // namespace NoxCtl
