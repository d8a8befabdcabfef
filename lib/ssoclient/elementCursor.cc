#include "lib/ssoclient/elementCursor.h"

namespace SsoClient {

bool SkipWsAndCommentsFilter::AcceptNode(const Basalt::Xml::Node& node) const {
  if (node.IsComment()) return false;
  if (node.IsText()) return node.GetText().find_first_not_of("\t\n\r ") != std::string::npos;
  return true;
}

ElementCursor::ElementCursor(Basalt::Xml::Node first, const NodeFilter& filter)
    : node_(std::move(first)), filter_(&filter) {
  SkipUnadmitted();
}

ElementCursor ElementCursor::Enter() const {
  return ElementCursor(node_.GetFirstChild(), *filter_);
}

void ElementCursor::Advance() {
  if (!node_) return;
  node_ = node_.GetNextSibling();
  SkipUnadmitted();
}

Basalt::Xml::Node ElementCursor::Current() const {
  return node_.IsElement() ? node_ : Basalt::Xml::Node();
}

void ElementCursor::SkipUnadmitted() {
  while (node_ && !filter_->AcceptNode(node_)) node_ = node_.GetNextSibling();
}

}  // namespace SsoClient
