// How `-o text` shows each operation's output and an API error value (clean encoding).
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>

namespace NoxCtl {

// A list of client profile summaries as a table with the columns of the projection ("FULL",
// "SUBJECT" or "NAME"; any other text, the empty default included, shows as "SUBJECT").
std::string ProfileListView(const json_t& summaries, std::string_view projection);
// A client profile's info as labelled fields.
std::string ProfileView(const json_t& info);

// A list of issuer summaries as a table with the columns of the projection ("FULL", "ISSUER" or
// "ALIAS"; any other text, the empty default included, shows as "ISSUER").
std::string IssuerListView(const json_t& summaries, std::string_view projection);
// An issuer's info: its name and, for each certificate of each chain, its subject, issuer,
// validity and SHA-256 fingerprint.
std::string IssuerView(const json_t& info);

// Any output: a string bare, null as nothing, anything else as indented JSON.
std::string GenericView(const json_t& value);

// The error type, then each message's localized text (its default text when it has none) on a
// line of its own, indented.
std::string ErrorView(const json_t& error);

}  // namespace NoxCtl
