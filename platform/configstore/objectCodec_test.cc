#include "platform/configstore/objectCodec.h"

#include <gtest/gtest.h>

#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/configstore/configStoreException.h"
#include "platform/configstore/plainContentReader.h"

namespace NoxConfigStore {
namespace {

// Typed values and sub-objects, read back from the decoded copy of their encoding.
TEST(ObjectCodecTest, RoundTripKeepsTypesOrderAndAwkwardText) {
  WritableObject object;
  object.SetValue("quote", std::string("a\"b\\c#\n\xC3\xA9"));
  object.SetValue("flag", false);
  object.SetValueEmptyList("grants");
  auto nested = object.CreateSubObject(SubObjectId("z", "2"));
  nested->CreateSubObject(SubObjectId("inner"))->SetValue("list", StringList{"x", ""});
  object.CreateSubObject(SubObjectId("a", "1"));
  object.CreateSubObject(SubObjectId("a", "3"))->SetValue("n", "B");
  EXPECT_THROW(object.CreateSubObject(SubObjectId("a", "1")), ConfigStoreException);

  WritableObject decoded;
  DecodeObjectContent(EncodeObjectContent(object), decoded, "test");
  EXPECT_EQ(EncodeObjectContent(decoded), EncodeObjectContent(object));
  std::string text;
  bool flag = true;
  StringList list{"stale"};
  ASSERT_TRUE(decoded.GetValue("quote", text));
  EXPECT_EQ(text, "a\"b\\c#\n\xC3\xA9");
  EXPECT_FALSE(decoded.GetValue("quote", flag));  // text never becomes a boolean
  ASSERT_TRUE(decoded.GetValue("flag", flag));
  EXPECT_FALSE(flag);
  ASSERT_TRUE(decoded.GetValue("grants", list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(decoded.GetValue("missing", text));

  auto subs = decoded.GetAllSubObjects();
  ASSERT_EQ(subs.size(), 3u);
  EXPECT_EQ(subs[0]->GetSubObjectId()->GetName(), "z");  // creation order, not name order
  auto inner = subs[0]->GetSubObject(SubObjectId("inner"));
  ASSERT_NE(inner, nullptr);
  ASSERT_TRUE(inner->GetValue("list", list));
  EXPECT_EQ(list, (StringList{"x", ""}));
  EXPECT_EQ(decoded.GetSubObject(SubObjectId("inner")), nullptr);
  EXPECT_EQ(decoded.GetSubObject(SubObjectId("z")), nullptr);
  auto named = decoded.GetSubObjectInstances(FilterSpecObject("a"));
  ASSERT_EQ(named.size(), 2u);
  ASSERT_TRUE(named[1]->GetValue("n", text));
  EXPECT_EQ(text, "B");
  EXPECT_EQ(decoded.GetSubObjectInstances(FilterSpecObject("a", "3")).size(), 1u);

  // Plain text (no escapes) reads back to the same encoding.
  const std::string plain =
      R"({"values":{"a":true,"b":"x","l":["p","q"]},"subObjects":[{"values":{"v":"1"},)"
      R"("subObjects":[],"name":"s","instance":"i"},{"values":{},"subObjects":[],"name":"t"}]})";
  WritableObject fromPlain;
  DecodeObjectContent(plain, fromPlain, "test");
  EXPECT_EQ(EncodeObjectContent(fromPlain), plain);
}

TEST(ObjectCodecTest, MalformedContentIsRefused) {
  const char* bad[] = {"not json",
                       "[1]",
                       R"({"values": {"n": 3}})",
                       R"({"values": {"l": ["a", 1]}})",
                       R"({"subObjects": [{"instance": "1"}]})",
                       R"({"subObjects": [{"name": "a", "instance": 7}]})",
                       R"({"subObjects": [{"name": "a"}, {"name": "a"}]})",
                       R"({"values": {"a": "b"}} x)"};
  for (const char* text : bad) {
    WritableObject into;
    EXPECT_THROW(DecodeObjectContent(text, into, "test"), ConfigStoreException) << text;
  }
  // Text that is not JSON is explained by Jansson, with its own words.
  WritableObject into;
  EXPECT_EQ(Basalt::Testing::MessageOf(
                [&] { DecodeObjectContent(R"({"values": {"a": "b"}} x)", into, "test"); }),
            "Invalid content of test: end of file expected near 'x'");
}

// The direct reader takes plain text only, and reads it as Jansson's tree would be read.
TEST(ObjectCodecTest, PlainReaderAgreesWithTheGeneralReaderOrDeclines) {
  const struct {
    const char* text;
    bool plain;
  } cases[] = {
      {R"({"values":{"a":"\u00e9\ud83d\ude00"}})", true},  // \u escapes
      {R"({"values":{"a":"\u0000"}})", false},             // U+0000
      {R"({"values":{"a\n":"x"}})", false},                // escape in a name
      {R"({"subObjects":[{"name":"s\/"}]})", false},       // escape in a sub-object's name
      {R"({"values":{"a":"x\q"}})", false},                // not an escape
      {R"({"values":{"a":"x\"}})", false},                 // unterminated
      {"{\"values\":{\"a\":\"\\n\n\"}}", false},           // control character beside an escape
      {R"({"values":{"a":"x","a":"y"}})", false},          // duplicate value
      {R"({"values":{},"values":{}})", false},             // duplicate member
      {R"({"values":{"n":3}})", false},                    // number
      {R"({"values":{"l":["a",true]}})", false},           // non-string item
      {R"({"other":1})", false},                           // unknown member
      {R"({"subObjects":[{"instance":"1"}]})", false},     // no name
      {R"({"values":{"a":"x"}} x)", false},                // trailing text
      {"{\"values\":{\"a\":\"\xC3\"}}", false},            // invalid UTF-8
      {R"( { "values" : { "b" : [ ] , "a" : true } } )", true},
      {R"({"values":{"pem":"-----\nA\/b\r\t\b\f\"\\z","l":["x\n","\\"]}})", true},
      {R"({"subObjects":[{"name":"s","subObjects":[{"values":{"v":"é"},"name":"t"}]},)"
       R"({"instance":"2","name":"s"}]})",
       true},
  };
  for (const auto& c : cases) {
    WritableObject direct;
    ASSERT_EQ(ReadPlainObjectContent(c.text, direct), c.plain) << c.text;
    if (!c.plain) {
      EXPECT_TRUE(direct.GetValues().empty() && direct.GetAllSubObjects().empty()) << c.text;
      continue;
    }
    WritableObject general;
    Basalt::Json::JsonPtr tree(json_loads(c.text, JSON_REJECT_DUPLICATES, nullptr));
    ASSERT_TRUE(tree) << c.text;
    DecodeObjectContent(tree.get(), general, "test");
    EXPECT_EQ(EncodeObjectContent(direct), EncodeObjectContent(general)) << c.text;
  }
  // A duplicate sub-object is refused as the general reader refuses it.
  WritableObject twice;
  EXPECT_THROW(ReadPlainObjectContent(R"({"subObjects":[{"name":"a"},{"name":"a"}]})", twice),
               ConfigStoreException);
}

}  // namespace
}  // namespace NoxConfigStore
