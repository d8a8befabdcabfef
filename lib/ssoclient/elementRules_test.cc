#include "lib/ssoclient/elementRules.h"

#include <gtest/gtest.h>

#include "lib/ssoclient/ssoExceptions.h"
#include "platform/basalt/xml/parser.h"

namespace SsoClient::Rules {
namespace {

Node Parse(const std::string& text) {
  auto handler = Basalt::Xml::CreateXMLDocumentHandler();
  auto reader = Basalt::CreateStringReader(text);
  Basalt::Xml::CreateXMLParser(handler)->Parse(*reader);
  return handler->GetDocumentElement();
}

template <class F>
std::string MessageOf(F&& check) {
  try {
    check();
  } catch (const ParseException& e) {
    return e.GetMessage();
  }
  return "passed";
}

TEST(ElementCursorTest, SkipsCommentsAndWhitespaceOnly) {
  SkipWsAndCommentsFilter filter;
  const Node root = Parse("<r> \t\r\n<!-- c --><a/> <!-- d -->x<b/></r>");
  ElementCursor cursor = ElementCursor(root, filter).Enter();
  EXPECT_EQ(cursor.Current().GetLocalName(), "a");
  cursor.Advance();
  EXPECT_TRUE(cursor.HasNode());
  EXPECT_FALSE(cursor.Current());  // The text "x" is seen but is not an element.
  cursor.Advance();
  EXPECT_EQ(cursor.Current().GetLocalName(), "b");
  cursor.Advance();
  EXPECT_FALSE(cursor.HasNode());
}

TEST(ElementRulesTest, NonNegativeIntegers) {
  const auto count = [](const std::string& value) {
    return NonNegativeIntegerAttribute(Parse("<P Count=\"" + value + "\"/>"), "Count");
  };
  EXPECT_EQ(count("0"), 0);
  EXPECT_EQ(count("+7"), 7);
  EXPECT_EQ(count("-0"), 0);
  EXPECT_EQ(count("007"), 7);
  EXPECT_EQ(count("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(NonNegativeIntegerAttribute(Parse("<P/>"), "Count"), std::nullopt);
  for (const char* bad : {"", "+", "-", "-1", " 1", "1 ", "1e3", "0x10", "9223372036854775808"}) {
    EXPECT_EQ(MessageOf([&] { count(bad); }), "P/@Count is not a non-negative integer.") << bad;
  }
}

TEST(ElementRulesTest, QNameValuesResolveInScope) {
  const Node element = Parse("<e xmlns=\"urn:d\" xmlns:p=\"urn:p\"/>");
  EXPECT_EQ(ResolveQNameValue(element, "p:T"), (QName{"urn:p", "T"}));
  EXPECT_EQ(ResolveQNameValue(element, "T"), (QName{"urn:d", "T"}));
  EXPECT_EQ(ResolveQNameValue(Parse("<e/>"), "T"), (QName{"", "T"}));
  const std::string message = MessageOf([&] { ResolveQNameValue(element, "q:T"); });
  EXPECT_EQ(message.rfind("Element eat 1,", 0), 0u) << message;
  EXPECT_NE(message.find(" uses undefined prefix: `q'"), std::string::npos) << message;
}

}  // namespace
}  // namespace SsoClient::Rules
