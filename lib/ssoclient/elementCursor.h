// Walking sibling elements of a DOM while skipping the nodes a strict reader may ignore.
#pragma once

#include "platform/basalt/xml/document.h"

namespace SsoClient {

class NodeFilter {
 public:
  virtual ~NodeFilter() = default;
  virtual bool AcceptNode(const Basalt::Xml::Node& node) const = 0;
};

// Skips comments and text made only of tab, line feed, carriage return and space.
class SkipWsAndCommentsFilter : public NodeFilter {
 public:
  bool AcceptNode(const Basalt::Xml::Node& node) const override;
};

// A position among siblings, always on an admitted node or past the last one.
class ElementCursor {
 public:
  // Starts on `first` or the next admitted sibling after it.
  ElementCursor(Basalt::Xml::Node first, const NodeFilter& filter);

  // A cursor on the first admitted child of the current node.
  ElementCursor Enter() const;
  void Advance();

  // Whether any admitted node remains at or after the position.
  bool HasNode() const { return static_cast<bool>(node_); }
  // The node at the position when it is an element, else no node.
  Basalt::Xml::Node Current() const;
  const Basalt::Xml::Node& Position() const { return node_; }

 private:
  void SkipUnadmitted();

  Basalt::Xml::Node node_;
  const NodeFilter* filter_;
};

}  // namespace SsoClient
