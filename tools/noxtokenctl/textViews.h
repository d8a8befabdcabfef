// How `-o text` shows each operation's output and an API error value (clean encoding).
#pragma once

#include <jansson.h>

#include <string>

namespace NoxCtl {

// A list of client profile summaries as a table; the columns follow the projection.
std::string ProfileListView(const json_t& summaries);
// A client profile's info as labelled fields.
std::string ProfileView(const json_t& info);

// A list of issuer summaries as a table; the columns follow the projection.
std::string IssuerListView(const json_t& summaries);
// An issuer's info: its name and the subject of each certificate of each chain.
std::string IssuerView(const json_t& info);

// Any output: a string bare, null as nothing, anything else as indented JSON.
std::string GenericView(const json_t& value);

// The error type, then each message's localized text (its default text when it has none) on a
// line of its own, indented.
std::string ErrorView(const json_t& error);

}  // namespace NoxCtl
