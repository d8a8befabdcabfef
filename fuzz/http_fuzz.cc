// Feeds arbitrary bytes, in pieces whose size the first byte picks, to the daemon's request parser
// and to Beast's own request parser with a string body. Both run Beast's grammar; what is checked
// is what the daemon keeps of it: whenever Beast reads a whole request, the daemon's parser must
// read it too, with the same method, target, version, fields (each name's in the order sent, each
// also found by its name, in any case, and by its id) and body, chunked or not.
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/basalt/httpRequestHead.h"

namespace {

namespace http = boost::beast::http;

constexpr size_t kBodyLimit = 64 * 1024;

boost::beast::string_view View(std::string_view text) { return {text.data(), text.size()}; }

// Puts `text` in pieces of at most `piece` bytes, as a socket hands them over; true when the
// parser read a whole request.
template <class Parser>
bool Feed(Parser& parser, std::string_view text, size_t piece) {
  size_t fed = 0;
  size_t offered = std::min(piece, text.size());
  while (!parser.is_done()) {
    boost::beast::error_code ec;
    if (fed < offered) {
      fed += parser.put(boost::asio::buffer(text.data() + fed, offered - fed), ec);
    } else {
      ec = http::error::need_more;
    }
    if (ec == http::error::need_more || (!ec && fed == offered)) {
      if (offered == text.size()) return false;
      offered = std::min(offered + piece, text.size());
    } else if (ec) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 64 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  http::request_parser<http::string_body> beast;
  beast.eager(true);
  beast.body_limit(kBodyLimit);
  if (!Feed(beast, text, piece)) return 0;

  Basalt::Http::RequestParser ours;
  ours.eager(true);
  ours.body_limit(kBodyLimit);
  std::vector<char> body(kBodyLimit);
  ours.Body() = {body.data(), body.size()};
  if (!Feed(ours, text, piece)) __builtin_trap();

  const auto& expected = beast.get();
  const Basalt::Http::RequestHead& head = ours.Head();
  const auto target = expected.target();
  if (head.Method() != expected.method() || head.Version() != expected.version() ||
      head.Target() != std::string_view(target.data(), target.size())) {
    __builtin_trap();
  }
  // Beast keeps fields of one name together; the daemon keeps the order they came in.
  if (head.Size() != static_cast<size_t>(std::distance(expected.begin(), expected.end()))) {
    __builtin_trap();
  }
  for (size_t i = 0; i < head.Size(); ++i) {
    const auto got = head[i];
    size_t earlier = 0;  // fields of the same name before this one
    for (size_t j = 0; j < i; ++j)
      earlier += boost::beast::iequals(View(head[j].name), View(got.name));
    auto [same, end] = expected.equal_range(View(got.name));
    const auto first = same;
    std::advance(same, static_cast<std::ptrdiff_t>(earlier));
    if (same == end) __builtin_trap();
    const auto name = same->name_string();
    const auto value = same->value();
    if (got.id != same->name() || got.name != std::string_view(name.data(), name.size()) ||
        got.value != std::string_view(value.data(), value.size())) {
      __builtin_trap();
    }
    const auto byName = head.Find(got.name);
    if (!byName || *byName != std::string_view(first->value().data(), first->value().size())) {
      __builtin_trap();
    }
    if (got.id != http::field::unknown &&
        (head.Count(got.id) != expected.count(got.id) || head.Find(got.id) != byName)) {
      __builtin_trap();
    }
  }
  const size_t bodySize = body.size() - ours.Body().size;
  if (std::string_view(body.data(), bodySize) != expected.body()) __builtin_trap();
  return 0;
}
