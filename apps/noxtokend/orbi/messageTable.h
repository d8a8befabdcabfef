// The daemon's message table: message id -> default English text with {named} arguments.
#pragma once

#include <memory>
#include <string>

#include "platform/orbi/localizer.h"

namespace Com::Tessel::Nox::Authentication {

// The default text of `id`, or "Unknown message." when the table has no such id.
std::string GetMessageTemplate(const std::string& id);

// The daemon's localizer: locale "en_US" over the message table.
std::shared_ptr<const Orbi::L10n::Localizer> CreateLocalizer();

}  // namespace Com::Tessel::Nox::Authentication
