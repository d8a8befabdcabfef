#include "lib/ssoclient/elementRules.h"

#include <algorithm>
#include <limits>

#include "lib/ssoclient/samlConstants.h"
#include "lib/ssoclient/ssoExceptions.h"

namespace SsoClient::Rules {
namespace {

bool IsNamespaceDeclaration(const std::string& name) {
  return name == "xmlns" || name.rfind("xmlns:", 0) == 0;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string MissingAttribute(const Node& element, const std::string& attribute) {
  return "Node '" + element.GetLocalName() + " is missing required attribute '" + attribute + "'";
}

QName ResolveAttributeName(const Node& element, const std::string& qualifiedName) {
  const size_t colon = qualifiedName.find(':');
  if (colon == std::string::npos) return QName{"", qualifiedName};
  const std::string prefix = qualifiedName.substr(0, colon);
  return QName{element.LookupNamespace(prefix).value_or(prefix), qualifiedName.substr(colon + 1)};
}

}  // namespace

Node ExpectElement(const ElementCursor& cursor, std::string_view localName,
                   std::string_view namespaceUri) {
  Node element = cursor.Current();
  if (!element || element.GetLocalName() != localName) {
    throw ParseException("Expected element '" + std::string(localName) + "' not found.");
  }
  if (element.LookupNamespace(element.GetPrefix()) != namespaceUri) {
    throw ParseException("Element '" + element.GetLocalName() + "' has unexpected namespace");
  }
  return element;
}

Node OptionalElement(const ElementCursor& cursor, std::string_view localName) {
  Node element = cursor.Current();
  if (element && element.GetLocalName() == localName &&
      element.LookupNamespace(element.GetPrefix()) == Saml::kAssertionNs) {
    return element;
  }
  return Node();
}

void CheckAttributes(const Node& element, const std::vector<std::string>& required,
                     const std::vector<std::string>& optional) {
  const auto attributes = element.GetAttributes();
  for (const std::string& name : required) {
    if (!attributes.count(name)) throw ParseException(MissingAttribute(element, name));
  }
  for (const auto& [name, value] : attributes) {
    if (!IsNamespaceDeclaration(name) && !Contains(required, name) && !Contains(optional, name)) {
      throw ParseException("Unexpected attributes on element '" + element.GetLocalName() + "'");
    }
  }
}

void CheckNoAttributes(const Node& element) { CheckAttributes(element, {}, {}); }

void CheckQualifiedAttributes(const Node& element, const std::vector<QName>& required,
                              const std::vector<QName>& optional) {
  std::vector<QName> present;
  for (const auto& [name, value] : element.GetAttributes()) {
    if (!IsNamespaceDeclaration(name)) present.push_back(ResolveAttributeName(element, name));
  }
  for (const QName& name : required) {
    if (std::find(present.begin(), present.end(), name) == present.end()) {
      throw ParseException(MissingAttribute(element, name.ToString()));
    }
  }
  for (const QName& name : present) {
    if (std::find(required.begin(), required.end(), name) == required.end() &&
        std::find(optional.begin(), optional.end(), name) == optional.end()) {
      throw ParseException("Unexpected attribute '" + name.ToString() + "' on element '" +
                           element.GetLocalName() + "'");
    }
  }
}

std::string TextOnly(const Node& element, const NodeFilter& filter) {
  ElementCursor children(element.GetFirstChild(), filter);
  const Node text = children.Position();
  children.Advance();
  if (!text.IsText() || children.HasNode()) {
    throw ParseException("Element '" + element.GetLocalName() +
                         "' must only have textual content (but has extra children or is empty).");
  }
  return text.GetText();
}

void CheckEmpty(const Node& element, const NodeFilter& filter) {
  if (ElementCursor(element.GetFirstChild(), filter).HasNode()) {
    throw ParseException("Element '" + element.GetLocalName() + "' must be empty");
  }
}

void CheckEndOfSiblings(const ElementCursor& cursor, const std::string& message) {
  if (cursor.HasNode()) throw ParseException(message);
}

Basalt::System::DateTime DateAttribute(const Node& element, const std::string& name) {
  return DateText(element.GetAttribute(name).value_or(""), element.GetLocalName() + "/@" + name);
}

Basalt::System::DateTime DateText(const std::string& text, const std::string& where) {
  try {
    return Basalt::System::DateTime(text);
  } catch (const Basalt::DateTimeFormatException&) {
    throw ParseException(where + " is not a date");
  }
}

std::optional<int64_t> NonNegativeIntegerAttribute(const Node& element, const std::string& name) {
  const std::optional<std::string> text = element.GetAttribute(name);
  if (!text) return std::nullopt;
  const auto fail = [&] {
    return ParseException(element.GetLocalName() + "/@" + name + " is not a non-negative integer.");
  };
  size_t position = 0;
  bool negative = false;
  if (!text->empty() && ((*text)[0] == '+' || (*text)[0] == '-')) {
    negative = (*text)[0] == '-';
    position = 1;
  }
  if (position == text->size()) throw fail();
  int64_t value = 0;
  for (; position < text->size(); ++position) {
    const char c = (*text)[position];
    if (c < '0' || c > '9') throw fail();
    const int digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) throw fail();
    value = value * 10 + digit;
  }
  if (negative && value != 0) throw fail();
  return value;
}

QName ResolveQNameValue(const Node& element, const std::string& value) {
  const size_t colon = value.find(':');
  const std::string prefix = colon == std::string::npos ? "" : value.substr(0, colon);
  const std::string localName = colon == std::string::npos ? value : value.substr(colon + 1);
  const std::optional<std::string> uri = element.LookupNamespace(prefix);
  if (!uri && !prefix.empty()) {
    throw ParseException(
        "Element " + element.GetLocalName() + "at " + std::to_string(element.GetLine()) + "," +
        std::to_string(element.GetColumn()) + " uses undefined prefix: `" + prefix + "'");
  }
  return QName{uri.value_or(""), localName};
}

bool IsTypedCondition(const Node& element, const QName& type) {
  if (element.GetLocalName() != "Condition" ||
      element.LookupNamespace(element.GetPrefix()) != Saml::kAssertionNs) {
    return false;
  }
  const std::optional<std::string> xsiType =
      element.GetAttribute(QName{std::string(Saml::kXsiNs), "type"});
  return xsiType && ResolveQNameValue(element, *xsiType) == type;
}

}  // namespace SsoClient::Rules
