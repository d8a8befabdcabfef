// Plain-text layouts for people: aligned tables and labelled fields.
#pragma once

#include <jansson.h>

#include <string>
#include <utility>
#include <vector>

namespace NoxCtl {

using TextRow = std::vector<std::string>;

// The headers, then one line per row; columns padded to their widest cell in characters (UTF-8
// code points), two blanks apart, no trailing blanks. Rows shorter than the headers get empty
// cells.
std::string FormatTable(const TextRow& headers, const std::vector<TextRow>& rows);

// "Label:  value" lines with all values starting in one column; the further lines of a value
// holding line breaks start in that column too.
std::string FormatFields(const std::vector<std::pair<std::string, std::string>>& fields);

// A JSON value as a cell: strings bare, null or missing as "-", anything else as compact JSON.
std::string CellText(const json_t* value);

// Any JSON value as text, the way json_dumps with `flags` writes it (JSON_ENCODE_ANY is added).
std::string JsonText(const json_t& value, size_t flags);

}  // namespace NoxCtl
