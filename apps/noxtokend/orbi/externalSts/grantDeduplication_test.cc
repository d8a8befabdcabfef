#include "apps/noxtokend/orbi/externalSts/grantDeduplication.h"

#include <gtest/gtest.h>

namespace NoxToken {
namespace {

namespace Svc = Com::Tessel::Nox::Authentication::ClientProfilesSvc;

std::shared_ptr<Svc::AccessGrant> Grant(const char* resource, const char* entitlement) {
  auto grant = std::make_shared<Svc::AccessGrant>();
  grant->resourceType = Svc::ResourceType::FromString(resource);
  if (entitlement) grant->entitlement = Svc::Entitlement::FromString(entitlement);
  return grant;
}

std::vector<std::string> Names(const std::vector<std::shared_ptr<Svc::AccessGrant>>& grants) {
  std::vector<std::string> names;
  for (const auto& g : grants) {
    names.push_back(g->resourceType.ToString() + "/" +
                    (g->entitlement ? g->entitlement->ToString() : "-"));
  }
  return names;
}

TEST(GrantDeduplicationTest, KeepsFirstOfEachPairAndEveryGrantWithoutEntitlement) {
  std::vector<std::shared_ptr<Svc::AccessGrant>> grants = {
      Grant("HOST", "ADMINISTRATOR"), Grant("HOST", nullptr),   Grant("HOST", "OPERATOR"),
      Grant("HOST", "ADMINISTRATOR"), Grant("HOST", nullptr),   Grant("OTHER", "OPERATOR"),
      Grant("HOST", "custom"),        Grant("HOST", "custom2"), Grant("HOST", "custom")};
  auto first = grants[0];
  DeduplicateGrants(grants);
  EXPECT_EQ(Names(grants),
            (std::vector<std::string>{"HOST/ADMINISTRATOR", "HOST/-", "HOST/OPERATOR", "HOST/-",
                                      "OTHER/OPERATOR", "HOST/custom", "HOST/custom2"}));
  EXPECT_EQ(grants[0], first);
}

}  // namespace
}  // namespace NoxToken
