#include "platform/basalt/httpRequestHead.h"

#include <strings.h>

#include <algorithm>
#include <boost/beast/http/error.hpp>
#include <cstring>

namespace Basalt::Http {

namespace http = boost::beast::http;

namespace {

// Room for a usual request's target and fields, so that the text is allocated once.
constexpr size_t kUsualHeadText = 384;

}  // namespace

RequestHead::Field RequestHead::operator[](size_t index) const {
  const Place& place = places_[index];
  return {place.id,
          {text_.data() + place.nameAt, place.nameSize},
          {text_.data() + place.valueAt, place.valueSize}};
}

size_t RequestHead::Count(http::field id) const {
  return static_cast<size_t>(std::count_if(places_.begin(), places_.end(),
                                           [id](const Place& place) { return place.id == id; }));
}

std::optional<std::string_view> RequestHead::Find(http::field id) const {
  for (const Place& place : places_) {
    if (place.id == id) return std::string_view(text_.data() + place.valueAt, place.valueSize);
  }
  return std::nullopt;
}

std::optional<std::string_view> RequestHead::Find(std::string_view name) const {
  for (const Place& place : places_) {
    if (place.nameSize == name.size() &&
        strncasecmp(text_.data() + place.nameAt, name.data(), name.size()) == 0) {
      return std::string_view(text_.data() + place.valueAt, place.valueSize);
    }
  }
  return std::nullopt;
}

void RequestHead::SetRequestLine(http::verb method, std::string_view target, unsigned version) {
  method_ = method;
  version_ = version;
  text_.reserve(std::max(kUsualHeadText, target.size() * 2));
  text_.assign(target);
  targetSize_ = static_cast<uint32_t>(target.size());
}

// Beast's header limit (at most 4 GiB) bounds the text, so the places fit 32 bits.
void RequestHead::Add(http::field id, std::string_view name, std::string_view value) {
  const auto nameAt = static_cast<uint32_t>(text_.size());
  text_.append(name);
  const auto valueAt = static_cast<uint32_t>(text_.size());
  text_.append(value);
  places_.push_back({id, nameAt, static_cast<uint32_t>(name.size()), valueAt,
                     static_cast<uint32_t>(value.size())});
}

RequestHead RequestParser::TakeHead() {
  RequestHead head = std::move(head_);
  head_ = RequestHead();
  return head;
}

void RequestParser::on_request_impl(http::verb method, string_view, string_view target, int version,
                                    error_code&) {
  head_.SetRequestLine(method, std::string_view(target.data(), target.size()),
                       static_cast<unsigned>(version));
}

void RequestParser::on_field_impl(http::field id, string_view name, string_view value,
                                  error_code&) {
  head_.Add(id, std::string_view(name.data(), name.size()),
            std::string_view(value.data(), value.size()));
}

size_t RequestParser::on_body_impl(string_view body, error_code& ec) {
  if (!body_.data) {
    ec = http::error::need_buffer;
    return 0;
  }
  const size_t n = std::min(body_.size, body.size());
  std::memcpy(body_.data, body.data(), n);
  body_.data = static_cast<char*>(body_.data) + n;
  body_.size -= n;
  if (n < body.size()) ec = http::error::need_buffer;
  return n;
}

size_t RequestParser::on_chunk_body_impl(uint64_t, string_view body, error_code& ec) {
  return on_body_impl(body, ec);
}

}  // namespace Basalt::Http
