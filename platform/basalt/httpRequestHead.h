// The request line and header fields of one request, and the Beast parser that reads them into it.
// The head keeps every field in one block of text with their places beside it: a request's fields
// cost no allocation each, and are found by a scan, for requests carry few. Internal to the HTTP
// service.
#pragma once

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>
#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Basalt::Http {

// Not synchronized; immutable once the parser has handed it over.
class RequestHead {
 public:
  struct Field {
    boost::beast::http::field id;  // field::unknown for a name Beast does not know
    std::string_view name;         // as sent
    std::string_view value;
  };

  boost::beast::http::verb Method() const { return method_; }
  std::string_view Target() const { return std::string_view(text_).substr(0, targetSize_); }
  unsigned Version() const { return version_; }  // 11 for HTTP/1.1

  size_t Size() const { return places_.size(); }
  Field operator[](size_t index) const;  // in the order sent
  size_t Count(boost::beast::http::field id) const;
  // The first field of that id, or of that name compared without case.
  std::optional<std::string_view> Find(boost::beast::http::field id) const;
  std::optional<std::string_view> Find(std::string_view name) const;

  // For the parser: the request line first, then the fields in order.
  void SetRequestLine(boost::beast::http::verb method, std::string_view target, unsigned version);
  void Add(boost::beast::http::field id, std::string_view name, std::string_view value);

 private:
  struct Place {
    boost::beast::http::field id;
    uint32_t nameAt, nameSize, valueAt, valueSize;
  };

  boost::beast::http::verb method_ = boost::beast::http::verb::unknown;
  unsigned version_ = 11;
  uint32_t targetSize_ = 0;
  std::string text_;  // the target, then each field's name and value
  boost::container::small_vector<Place, 8> places_;
};

// Beast's HTTP/1 request parsing, keeping the head as a RequestHead and copying the body straight
// into the buffer the reader gives, as Beast's buffer_body does: with no buffer, parsing stops at
// the body with error::need_buffer. One parser reads one request.
class RequestParser final : public boost::beast::http::basic_parser<true> {
 public:
  struct BodyBuffer {
    void* data = nullptr;  // advanced past what each parse step copies
    size_t size = 0;       // room left
  };

  const RequestHead& Head() const { return head_; }
  // Hands the head over; fields after it (chunked trailers) go to a fresh one.
  RequestHead TakeHead();
  BodyBuffer& Body() { return body_; }

 private:
  using error_code = boost::beast::error_code;
  using string_view = boost::beast::string_view;

  void on_request_impl(boost::beast::http::verb method, string_view, string_view target,
                       int version, error_code& ec) override;
  void on_response_impl(int, string_view, int, error_code&) override {}
  void on_field_impl(boost::beast::http::field id, string_view name, string_view value,
                     error_code&) override;
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<uint64_t>&, error_code&) override {}
  size_t on_body_impl(string_view body, error_code& ec) override;
  void on_chunk_header_impl(uint64_t, string_view, error_code&) override {}
  size_t on_chunk_body_impl(uint64_t, string_view body, error_code& ec) override;
  void on_finish_impl(error_code&) override {}

  RequestHead head_;
  BodyBuffer body_;
};

}  // namespace Basalt::Http
