#include "apps/noxtokend/orbi/externalSts/clientProfileIndex.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"

namespace NoxToken {
namespace {

using namespace Com::Tessel::Nox::Authentication::ClientProfilesSvc;
using NoxConfigStore::CompactInstanceId;

std::shared_ptr<Info> ProfileOf(const Subject& subject) {
  return std::make_shared<Info>(Info{std::make_shared<const Subject>(subject), {}});
}

// The index orders and finds profiles by the names their subjects make, without building them:
// it must agree with the built names wherever escapes change the order ("!" sorts before "#",
// "$" after it, "\" after both letters' capitals).
TEST(ClientProfileIndexTest, OrderAndLookupsFollowTheBuiltNames) {
  const Subject subjects[] = {
      {SubjectType::LOCAL_USER, "alice", {}, {}},
      {SubjectType::LOCAL_USER, "alice!", {}, {}},
      {SubjectType::LOCAL_USER, "alice#", {}, {}},
      {SubjectType::LOCAL_USER, "alice$", {}, {}},
      {SubjectType::LOCAL_USER, "al\\ice", {}, {}},
      {SubjectType::LOCAL_USER, "", {}, {}},
      {SubjectType::EXTERNAL_GROUP, "g", "idp", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp!", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp#x", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp", "corp#"},
      {SubjectType::EXTERNAL_GROUP, "", "idp", "corp\\"},
      {SubjectType::EXTERNAL_USER, "g", "idp", "corp"},
      {SubjectType::EXTERNAL_USER, "g", "", ""},
  };
  ClientProfileIndex index;
  std::vector<std::string> names;
  for (const Subject& subject : subjects) {
    ASSERT_TRUE(index.Insert(ProfileOf(subject), CompactInstanceId(MakeProfileName(subject))));
    names.push_back(MakeProfileName(subject));
  }
  EXPECT_FALSE(index.Insert(ProfileOf(subjects[8]), CompactInstanceId("twin")));

  // Loaded in another order and ordered once, the same as inserted one at a time.
  ClientProfileIndex loaded;
  for (auto it = std::rbegin(subjects); it != std::rend(subjects); ++it) {
    ASSERT_TRUE(loaded.Add(ProfileOf(*it), CompactInstanceId(MakeProfileName(*it))));
  }
  EXPECT_FALSE(loaded.Add(ProfileOf(subjects[0]), CompactInstanceId("twin")));
  loaded.Order();
  std::sort(names.begin(), names.end());
  for (const ClientProfileIndex* built : {&index, &loaded}) {
    std::vector<std::string> listed;
    built->ForEach([&](const ClientProfileIndex::Entry& entry) {
      listed.push_back(MakeProfileName(*entry.profile->subject));
      EXPECT_EQ(entry.instanceId.ToString(), listed.back());
    });
    EXPECT_EQ(listed, names);
  }

  for (const Subject& subject : subjects) {
    const std::string name = MakeProfileName(subject);
    const ClientProfileIndex::Entry* byName = index.Find(name);
    ASSERT_NE(byName, nullptr) << name;
    EXPECT_EQ(MakeProfileName(*byName->profile->subject), name);
    EXPECT_EQ(index.Find(ClientProfileIndex::PartsOf(subject)), byName) << name;
  }
  for (const char* absent :
       {"LU###alice\\", "LU###alice\\#x", "LU###al\\ice", "LU###al\\\\\\ice", "LU##alice",
        "LU###alice#", "LU###ALICE", "SG#corp#idp#g", "SU#idp#corp#g#", "", "#"}) {
    EXPECT_EQ(index.Find(absent), nullptr) << absent;
  }

  EXPECT_EQ(MakeProfileName(subjects[4]), "LU###al\\\\ice");
  const ClientProfileIndex::Entry* escaped = index.Find("SG#idp\\#x#corp#g");
  ASSERT_NE(escaped, nullptr);
  index.Erase(*escaped);
  EXPECT_EQ(index.Find("SG#idp\\#x#corp#g"), nullptr);
  EXPECT_EQ(index.size(), std::size(subjects) - 1);
}

}  // namespace
}  // namespace NoxToken
