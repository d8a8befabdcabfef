#include "platform/basalt/xml/parser.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/basalt/exception.h"
#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Xml {
namespace {

Node ParseText(const std::string& text) {
  auto handler = CreateXMLDocumentHandler();
  auto reader = CreateStringReader(text);
  CreateXMLParser(handler)->Parse(*reader);
  return handler->GetDocumentElement();
}

std::string RefusalOf(const std::string& text) {
  try {
    ParseText(text);
  } catch (const Exception& e) {
    return e.GetMessage();
  }
  return "accepted";
}

Node NextElement(Node node) {
  while (node && !node.IsElement()) node = node.GetNextSibling();
  return node;
}

TEST(XmlParserTest, BuildsNamespaceAwareDom) {
  const Node root = ParseText(
      "<?xml version=\"1.0\"?>\n<a:Root xmlns:a=\"urn:a\" xmlns=\"urn:d\" Plain=\"1\" a:Q=\"2\">"
      "<Child xmlns:b=\"urn:b\">text &amp; more</Child><!-- note --></a:Root>");
  ASSERT_TRUE(root.IsElement());
  EXPECT_EQ(root.GetLocalName(), "Root");
  EXPECT_EQ(root.GetPrefix(), "a");
  EXPECT_EQ(root.LookupNamespace("a"), "urn:a");
  EXPECT_EQ(root.LookupNamespace(""), "urn:d");
  EXPECT_EQ(root.LookupNamespace("zz"), std::nullopt);
  const std::map<std::string, std::string> expected = {
      {"xmlns:a", "urn:a"}, {"xmlns", "urn:d"}, {"Plain", "1"}, {"a:Q", "2"}};
  EXPECT_EQ(root.GetAttributes(), expected);
  EXPECT_EQ(root.GetAttribute("Plain"), "1");
  EXPECT_EQ(root.GetAttribute("Q"), std::nullopt);
  EXPECT_EQ(root.GetAttribute(QName{"urn:a", "Q"}), "2");
  EXPECT_EQ(root.GetAttribute(QName{"", "Plain"}), "1");

  const Node child = root.GetFirstChild();
  EXPECT_EQ(child.GetLocalName(), "Child");
  EXPECT_EQ(child.GetPrefix(), "");
  EXPECT_EQ(child.LookupNamespace(""), "urn:d");
  EXPECT_EQ(child.LookupNamespace("b"), "urn:b");
  EXPECT_EQ(root.LookupNamespace("b"), std::nullopt);
  EXPECT_TRUE(child.GetFirstChild().IsText());
  EXPECT_EQ(child.GetFirstChild().GetText(), "text & more");
  EXPECT_TRUE(child.GetNextSibling().IsComment());
  EXPECT_FALSE(child.GetNextSibling().GetNextSibling());
}

TEST(XmlParserTest, ReportsElementPositionsAndReadsPastOneChunk) {
  const Node root = ParseText("<R>\n  <First/>\n\n    <Second a=\"x\"/></R>");
  const Node first = NextElement(root.GetFirstChild());
  const Node second = NextElement(first.GetNextSibling());
  EXPECT_EQ(root.GetLine(), 1);
  EXPECT_EQ(first.GetLine(), 2);
  EXPECT_EQ(second.GetLine(), 4);
  EXPECT_GT(second.GetColumn(), first.GetColumn());

  const std::string value(20000, 'v');
  EXPECT_EQ(ParseText("<R>" + value + "</R>").GetFirstChild().GetText(), value);
}

// Document types are refused before anything in them is read: no file, no entity expansion.
TEST(XmlParserTest, RefusesMalformedXmlDoctypesAndProcessingInstructions) {
  const Basalt::Testing::TemporaryHostRoot dir;
  std::ofstream(dir.Path() / "secret.txt") << "SECRET";
  for (const char* text : {"", "<a>", "<a></b>", "text", "<a x='1' x='2'/>", "<a/><b/>", "<p:a/>",
                           "<a>&undefined;</a>"}) {
    EXPECT_NE(RefusalOf(text), "accepted") << text;
  }
  const std::string doctypes[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + (dir.Path() / "secret.txt").string() +
          "\">]><r>&x;</r>",
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">]>"
      "<lolz>&lol4;</lolz>",
      "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/x.dtd\"><r/>",
      "<!DOCTYPE r><r/>",
  };
  for (const std::string& text : doctypes) {
    EXPECT_EQ(RefusalOf(text), "XML document type declarations are not accepted") << text;
  }
  for (const char* text : {"<?xml-stylesheet href=\"x\"?><r/>", "<r><?pi data?></r>"}) {
    EXPECT_EQ(RefusalOf(text), "XML processing instructions are not accepted") << text;
  }
}

}  // namespace
}  // namespace Basalt::Xml
