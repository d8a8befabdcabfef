#include "platform/basalt/config.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"
#include "platform/basalt/xmlHandles.h"

namespace Basalt::Service {

namespace {

std::string Trim(std::string_view text) {
  const char* blanks = " \t\r\n";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

std::string Name(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

bool HasElementChildren(const xmlNode* node) {
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) return true;
  }
  return false;
}

Config::Element ReadLeaf(const Xml::LibXml& xml, xmlNode* node) {
  Config::Element element;
  for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
    Xml::XmlCharHandle value(xml.xmlNodeListGetString(node->doc, attr->children, 1), {&xml});
    element.attributes[Name(reinterpret_cast<const xmlNode*>(attr))] =
        value ? reinterpret_cast<const char*>(value.get()) : "";
  }
  Xml::XmlCharHandle content(xml.xmlNodeGetContent(node), {&xml});
  if (content) element.text = Trim(reinterpret_cast<const char*>(content.get()));
  return element;
}

void Collect(const Xml::LibXml& xml, xmlNode* parent, const std::string& prefix,
             std::multimap<std::string, Config::Element>& out) {
  for (xmlNode* node = parent->children; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    std::string key = prefix.empty() ? Name(node) : prefix + "/" + Name(node);
    if (HasElementChildren(node)) {
      Collect(xml, node, key, out);
    } else {
      out.emplace(key, ReadLeaf(xml, node));
    }
  }
}

[[noreturn]] void Fail(const std::string& origin, const std::string& reason) {
  throw Exception(Format("cannot read configuration file '%1': %2", origin, reason));
}

}  // namespace

Config::Config(std::multimap<std::string, Element> elements, std::string origin)
    : elements_(std::move(elements)), origin_(std::move(origin)) {}

void Config::NoteRead(const std::string& key) const {
  std::lock_guard lock(readMutex_);
  readKeys_.insert(key);
}

std::vector<std::string> Config::GetUnreadKeys() const {
  std::lock_guard lock(readMutex_);
  std::vector<std::string> unread;
  for (auto it = elements_.begin(); it != elements_.end(); it = elements_.upper_bound(it->first)) {
    if (!readKeys_.contains(it->first)) unread.push_back(it->first);
  }
  return unread;
}

std::shared_ptr<const Config> Config::LoadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail(path, std::strerror(errno));
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) Fail(path, std::strerror(errno));
  return Parse(text.str(), path);
}

std::shared_ptr<const Config> Config::Parse(std::string_view text, const std::string& origin) {
  // libxml2 is loaded for the moment of reading: the daemon reads its configuration once.
  const std::shared_ptr<const Xml::LibXml> xml = Xml::LibXml::Acquire();
  Xml::XmlParserCtxtHandle ctxt(xml->xmlNewParserCtxt(), {xml.get()});
  if (!ctxt) Fail(origin, "out of memory");
  // No network, no DTD loading, no entity substitution; errors are reported below, not printed.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  Xml::XmlDocHandle doc(
      xml->xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), origin.c_str(),
                             nullptr, options),
      {xml.get()});
  if (!doc || !ctxt->wellFormed) {
    const xmlError* error = xml->xmlCtxtGetLastError(ctxt.get());
    std::string reason = error && error->message ? Trim(error->message) : "not well-formed XML";
    if (error && error->line > 0) reason = Format("line %1: %2", error->line, reason);
    Fail(origin, reason);
  }
  if (doc->intSubset != nullptr) Fail(origin, "a DOCTYPE is not allowed");
  xmlNode* root = xml->xmlDocGetRootElement(doc.get());
  if (!root) Fail(origin, "no root element");
  std::multimap<std::string, Element> elements;
  Collect(*xml, root, "", elements);
  return std::shared_ptr<const Config>(new Config(std::move(elements), origin));
}

bool Config::GetString(const std::string& key, std::string& out) const {
  NoteRead(key);
  auto it = elements_.find(key);
  if (it == elements_.end()) return false;
  out = it->second.text;
  return true;
}

bool Config::ParseInteger(std::string_view text, int64_t& out) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return false;
  out = value;
  return true;
}

bool Config::GetInt(const std::string& key, int64_t& out) const {
  std::string text;
  if (!GetString(key, text)) return false;
  if (!ParseInteger(text, out)) {
    throw Exception(Format("configuration key '%1' is not an integer: '%2'", key, text));
  }
  return true;
}

bool Config::GetBool(const std::string& key, bool& out) const {
  std::string text;
  if (!GetString(key, text)) return false;
  if (text != "true" && text != "false") {
    throw Exception(Format("configuration key '%1' must be true or false, not '%2'", key, text));
  }
  out = text == "true";
  return true;
}

std::vector<Config::Element> Config::GetElements(const std::string& key) const {
  NoteRead(key);
  std::vector<Element> found;
  auto [first, last] = elements_.equal_range(key);
  for (auto it = first; it != last; ++it) found.push_back(it->second);
  return found;
}

}  // namespace Basalt::Service
