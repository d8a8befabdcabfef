#include "platform/configstore/objectCodec.h"

#include <gtest/gtest.h>

#include "platform/configstore/configStoreException.h"

namespace NoxConfigStore {
namespace {

TEST(ConfigStoreObjectTest, ValuesAreTypedAndTextNeverBecomesABoolean) {
  WritableObject object;
  object.SetValue("text", "literal");
  object.SetValue("flag", false);
  object.SetValue("list", StringList{"a", "b"});
  object.SetValueEmptyList("empty");

  std::string text;
  bool flag = true;
  StringList list;
  EXPECT_TRUE(object.GetValue("text", text));
  EXPECT_EQ(text, "literal");
  EXPECT_FALSE(object.GetValue("text", flag));
  EXPECT_TRUE(object.GetValue("flag", flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(object.GetValue("list", list));
  EXPECT_EQ(list, (StringList{"a", "b"}));
  EXPECT_TRUE(object.GetValue("empty", list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(object.GetValue("missing", text));
}

TEST(ConfigStoreObjectTest, SubObjectsFormListsByNameAndRefuseDuplicates) {
  WritableObject object;
  object.CreateSubObject(SubObjectId("subject"))->SetValue("name", "root");
  object.CreateSubObject(SubObjectId("grants", "g1"))->SetValue("entitlement", "A");
  object.CreateSubObject(SubObjectId("grants", "g2"))->SetValue("entitlement", "B");
  EXPECT_THROW(object.CreateSubObject(SubObjectId("grants", "g1")), ConfigStoreException);

  auto grants = object.GetSubObjectInstances(FilterSpecObject("grants"));
  ASSERT_EQ(grants.size(), 2u);
  std::string value;
  EXPECT_TRUE(grants[1]->GetValue("entitlement", value));
  EXPECT_EQ(value, "B");
  EXPECT_EQ(object.GetSubObjectInstances(FilterSpecObject("grants", "g2")).size(), 1u);
  EXPECT_NE(object.GetSubObject(SubObjectId("subject")), nullptr);
  EXPECT_EQ(object.GetSubObject(SubObjectId("subject", "x")), nullptr);
}

TEST(ObjectCodecTest, RoundTripKeepsTypesOrderAndAwkwardText) {
  WritableObject object;
  object.SetValue("quote", std::string("a\"b\\c#\n\xC3\xA9"));
  object.SetValue("flag", true);
  object.SetValueEmptyList("grants");
  auto nested = object.CreateSubObject(SubObjectId("z", "2"));
  nested->CreateSubObject(SubObjectId("inner"))->SetValue("list", StringList{"x", ""});
  object.CreateSubObject(SubObjectId("a", "1"));

  WritableObject decoded;
  DecodeObjectContent(EncodeObjectContent(object), decoded, "test");
  EXPECT_EQ(EncodeObjectContent(decoded), EncodeObjectContent(object));
  std::string text;
  ASSERT_TRUE(decoded.GetValue("quote", text));
  EXPECT_EQ(text, "a\"b\\c#\n\xC3\xA9");
  auto subs = decoded.GetAllSubObjects();
  ASSERT_EQ(subs.size(), 2u);
  EXPECT_EQ(subs[0]->GetSubObjectId()->GetName(), "z");  // creation order, not name order
  auto inner = subs[0]->GetSubObject(SubObjectId("inner"));
  ASSERT_NE(inner, nullptr);
  StringList list;
  ASSERT_TRUE(inner->GetValue("list", list));
  EXPECT_EQ(list, (StringList{"x", ""}));
}

TEST(ObjectCodecTest, MalformedContentIsRefused) {
  const char* bad[] = {
      "not json",
      "[1]",
      R"({"values": {"n": 3}})",
      R"({"values": {"l": ["a", 1]}})",
      R"({"subObjects": [{"instance": "1"}]})",
      R"({"subObjects": [{"name": "a", "instance": 7}]})",
      R"({"subObjects": [{"name": "a"}, {"name": "a"}]})",
  };
  for (const char* text : bad) {
    WritableObject into;
    EXPECT_THROW(DecodeObjectContent(text, into, "test"), ConfigStoreException) << text;
  }
}

}  // namespace
}  // namespace NoxConfigStore
