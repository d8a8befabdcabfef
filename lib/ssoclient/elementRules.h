// The checks every element of a token goes through; each failure is a ParseException whose
// message names the element by its local name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/ssoclient/elementCursor.h"
#include "lib/ssoclient/samlConstants.h"
#include "platform/basalt/dateTime.h"
#include "platform/basalt/xml/document.h"

namespace SsoClient::Rules {

using Basalt::Xml::Node;
using Basalt::Xml::QName;

// xsi:type, which selects a Condition kind and the holder-of-key confirmation data.
inline const QName kXsiType{std::string(Saml::kXsiNs), "type"};

// The current element, which must be `localName` in `namespaceUri`.
Node ExpectElement(const ElementCursor& cursor, std::string_view localName,
                   std::string_view namespaceUri);
// The current element when it is `localName` in the SAML assertion namespace, else no node.
Node OptionalElement(const ElementCursor& cursor, std::string_view localName);

// Attribute names as written; "xmlns" and "xmlns:*" are always allowed.
void CheckAttributes(const Node& element, const std::vector<std::string>& required,
                     const std::vector<std::string>& optional);
void CheckNoAttributes(const Node& element);
// The same on namespace-qualified names (prefixes resolved at the element).
void CheckQualifiedAttributes(const Node& element, const std::vector<QName>& required,
                              const std::vector<QName>& optional);

// The value of an element with exactly one admitted child, a text node; untrimmed.
std::string TextOnly(const Node& element, const NodeFilter& filter);
void CheckEmpty(const Node& element, const NodeFilter& filter);
// `message` when any admitted node remains.
void CheckEndOfSiblings(const ElementCursor& cursor, const std::string& message);

// A required attribute (already checked present) parsed as a date-time.
Basalt::System::DateTime DateAttribute(const Node& element, const std::string& name);
// `text` parsed as a date-time; a ParseException "<where> is not a date" otherwise, the refusal
// DateAttribute gives with `where` "<element>/@<name>".
Basalt::System::DateTime DateText(const std::string& text, const std::string& where);
// Unset when absent.
std::optional<int64_t> NonNegativeIntegerAttribute(const Node& element, const std::string& name);

// "prefix:local" or "local" resolved with the bindings in scope at `element`.
QName ResolveQNameValue(const Node& element, const std::string& value);

// The element is saml:Condition and its xsi:type resolves to `type`.
bool IsTypedCondition(const Node& element, const QName& type);

}  // namespace SsoClient::Rules
