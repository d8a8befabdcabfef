#include "tools/noxtokenctl/httpClient.h"

#include <gtest/gtest.h>

namespace NoxCtl {
namespace {

TEST(HttpClientTest, ParsesHostPortAndPath) {
  const auto Parts = [](const char* url) {
    const auto parsed = ParseHttpUrl(url);
    return parsed ? parsed->host + " " + parsed->port + " " + parsed->target : "refused";
  };
  EXPECT_EQ(Parts("http://localhost:9199/api"), "localhost 9199 /api");
  EXPECT_EQ(Parts("http://[::1]"), "::1 80 /");
}

TEST(HttpClientTest, RefusesWhatIsNotPlainHttpToAHostAndPort) {
  for (const char* url :
       {"https://localhost/api", "localhost:9199", "http://:9199/api", "http://host:0/",
        "http://host:65536", "http://host:9x/", "http://[::1/api", "http://[::1]x/",
        "http://::1:9199/", "http://user@host/"}) {
    EXPECT_FALSE(ParseHttpUrl(url)) << url;
  }
}

}  // namespace
}  // namespace NoxCtl
