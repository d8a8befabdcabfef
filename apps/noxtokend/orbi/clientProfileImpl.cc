#include "apps/noxtokend/orbi/clientProfileImpl.h"

#include <exception>
#include <utility>
#include <variant>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "apps/noxtokend/orbi/externalSts/messageIds.h"
#include "platform/basalt/result.h"

namespace Com::Tessel::Nox::Authentication {

using namespace ClientProfilesSvc;
using NoxToken::ClientProfileAccess;
using Orbi::L10n::Message;
using Orbi::Std::StdError;

namespace {

// A value to answer, or the error to fail with; worked out under the store's lock, answered after.
template <class T>
using Outcome = Basalt::Result<T, StdError>;
using VoidOutcome = Outcome<std::monostate>;

Message ProfileMessage(const char* id, std::string argument = {}, std::string value = {}) {
  Message message{id, {}};
  if (!argument.empty()) message.args.emplace_back(std::move(argument), std::move(value));
  return message;
}

Message NotFoundMessage(const std::string& profile) {
  return ProfileMessage(MessageIds::kProfileNotFound, "profile", profile);
}

template <class T>
void Complete(const Orbi::Bind::Reply<T>& reply, Outcome<T> outcome) {
  if (!outcome) {
    reply.Fail(outcome.error());
  } else {
    reply.Answer(std::move(*outcome));
  }
}

void Complete(const Orbi::Bind::Reply<void>& reply, VoidOutcome outcome) {
  if (!outcome) {
    reply.Fail(outcome.error());
  } else {
    reply.Answer();
  }
}

// Runs `work` (which takes and releases the store's lock itself) and answers its outcome. Nothing
// the store raises unexpectedly escapes to the framework.
template <class Reply, class Work>
void Run(Basalt::Service::Logger& logger, const char* operation, const Reply& reply, Work work) {
  auto outcome = [&]() -> decltype(work()) {
    try {
      return work();
    } catch (const std::exception& e) {
      logger.Log(3, "ClientProfileImpl::%1(): %2", operation, e.what());
      return Basalt::Unexpected{Orbi::Std::InternalServerError()};
    }
  }();
  Complete(reply, std::move(outcome));
}

// Grants handed out are copies: a reply is serialized after the lock is gone.
GrantList CopyGrants(const GrantList& grants) {
  GrantList copies;
  copies.reserve(grants.size());
  for (const auto& grant : grants) copies.push_back(std::make_shared<AccessGrant>(*grant));
  return copies;
}

GrantList WithoutNulls(GrantList grants) {
  std::erase(grants, nullptr);
  return grants;
}

// Checks a list filter; answers the error to fail with, logging why.
std::optional<StdError> CheckFilter(const FilterSpec& filter, Basalt::Service::Logger& logger) {
  constexpr const char* kInvalid = "ClientProfileImpl::List(): Invalid filter specification";
  int subjects = filter.localUser.has_value() + filter.externalGroup.has_value() +
                 filter.externalUser.has_value();
  if (subjects != 1) {
    logger.Log(3,
               "ClientProfileImpl::List(): error, multiple subjects set in filter specification");
    logger.Log(3, kInvalid);
    return Orbi::Std::InvalidArgument({ProfileMessage(MessageIds::kProfileInvalidFilterSpec)});
  }
  if (filter.localUser) {
    if (!filter.issuerAlias && !filter.domain) return std::nullopt;
    logger.Log(3,
               "ClientProfileImpl::List(): error, issuer alias and/or domain set in filter "
               "specification for a local user subject");
    logger.Log(3, kInvalid);
    return Orbi::Std::InvalidArgument({ProfileMessage(MessageIds::kProfileMultipleFilterSubjects),
                                       ProfileMessage(MessageIds::kProfileInvalidFilterSpec)});
  }
  if (filter.issuerAlias && filter.domain) return std::nullopt;

  std::string text = "error - ";
  std::vector<Message> messages;
  if (!filter.issuerAlias) {
    text += "missing issuer alias; ";
    messages.push_back(
        ProfileMessage(MessageIds::kProfileIncompleteFilterSpec, "argument", "issuer_alias"));
  }
  if (!filter.domain) {
    text += "missing domain; ";
    messages.push_back(
        ProfileMessage(MessageIds::kProfileIncompleteFilterSpec, "argument", "domain"));
  }
  text += "subject is: ";
  text += filter.externalGroup ? "external group: " + *filter.externalGroup
                               : "external user: " + *filter.externalUser;
  logger.Log(3, "ClientProfileImpl::List(): %1", text);
  logger.Log(3, kInvalid);
  messages.push_back(ProfileMessage(MessageIds::kProfileInvalidFilterSpec));
  return Orbi::Std::InvalidArgument(std::move(messages));
}

// A checked filter names exactly one subject; external subjects match on all four parts.
bool Matches(const Subject& subject, const FilterSpec& filter) {
  if (filter.localUser) {
    return subject.type == SubjectType::LOCAL_USER && subject.name == filter.localUser;
  }
  bool group = filter.externalGroup.has_value();
  return subject.type == (group ? SubjectType::EXTERNAL_GROUP : SubjectType::EXTERNAL_USER) &&
         subject.name == (group ? filter.externalGroup : filter.externalUser) &&
         subject.issuerAlias == filter.issuerAlias && subject.domain == filter.domain;
}

}  // namespace

ClientProfileImpl::ClientProfileImpl(std::shared_ptr<ClientProfileAccess> profiles,
                                     ChangeWitness witness)
    : profiles_(std::move(profiles)),
      witness_(std::move(witness)),
      logger_(Basalt::Service::Logger::CreateLogger("ClientProfileImpl")) {}

ClientProfileAccess::ChangeCheck ClientProfileImpl::Witnessed(
    const Orbi::Core::ExecutionContextPtr& call, const std::string& profile) const {
  if (!witness_ || !call) return nullptr;
  return [this, &call, &profile](const Info* after) { return witness_(*call, profile, after); };
}

void ClientProfileImpl::List(Orbi::Core::ExecutionContextPtr, std::optional<FilterSpec> filter,
                             std::optional<Projection> projection,
                             Orbi::Bind::Reply<std::vector<Summary>> reply) {
  Run(*logger_, "List", reply, [&]() -> Outcome<std::vector<Summary>> {
    Basalt::System::ScopedReadLock lock(*profiles_);
    Projection used = projection.value_or(Projection::SUBJECT);
    if (used.IsUnknown()) {
      logger_->Log(3, "ClientProfileImpl::List(): Invalid projection specification");
      return Basalt::Unexpected{
          Orbi::Std::InvalidArgument({ProfileMessage(MessageIds::kProfileInvalidProjection)})};
    }
    if (filter) {
      if (auto error = CheckFilter(*filter, *logger_)) return Basalt::Unexpected{std::move(*error)};
    }
    std::vector<Summary> summaries;
    for (const auto& [name, profile] : profiles_->GetProfiles()) {
      if (filter && !Matches(*profile->subject, *filter)) continue;
      Summary summary{used, name, nullptr, std::nullopt};
      if (used != Projection::NAME) summary.subject = profile->subject;
      if (used == Projection::FULL) summary.grants = CopyGrants(profile->grants);
      summaries.push_back(std::move(summary));
    }
    return summaries;
  });
}

void ClientProfileImpl::Create(Orbi::Core::ExecutionContextPtr context, CreateSpec spec,
                               Orbi::Bind::Reply<std::string> reply) {
  Run(*logger_, "Create", reply, [&]() -> Outcome<std::string> {
    Basalt::System::ScopedWriteLock lock(*profiles_);
    Subject subject;
    const char* external = nullptr;  // "group" or "user"
    if (spec.localUser) {
      subject = {SubjectType::LOCAL_USER, spec.localUser, std::nullopt, std::nullopt};
    } else if (spec.externalGroup) {
      subject = {SubjectType::EXTERNAL_GROUP, spec.externalGroup, spec.issuerAlias, spec.domain};
      external = "group";
    } else if (spec.externalUser) {
      subject = {SubjectType::EXTERNAL_USER, spec.externalUser, spec.issuerAlias, spec.domain};
      external = "user";
    } else {
      logger_->Log(3, "Cannot create client profile, the subject type is invalid");
      return Basalt::Unexpected{
          Orbi::Std::InvalidArgument({ProfileMessage(MessageIds::kProfileUnknownSubjectType)})};
    }

    if (external) {
      std::vector<Message> missing;
      if (!spec.issuerAlias) {
        logger_->Log(3, "Invalid external %1 specification - issuer alias missing!", external);
        missing.push_back(
            ProfileMessage(MessageIds::kProfileInvalidCreateSpec, "field", "issuer_alias"));
      }
      if (!spec.domain) {
        logger_->Log(3, "Invalid external %1 specification - domain missing!", external);
        missing.push_back(ProfileMessage(MessageIds::kProfileInvalidCreateSpec, "field", "domain"));
      }
      if (!missing.empty())
        return Basalt::Unexpected{Orbi::Std::InvalidArgument(std::move(missing))};
    }

    std::string name = NoxToken::MakeProfileName(subject);
    auto profile = std::make_shared<Info>(Info{std::make_shared<const Subject>(std::move(subject)),
                                               WithoutNulls(std::move(spec.grants))});
    switch (profiles_->Insert(name, std::move(profile), Witnessed(context, name)).code()) {
      case Basalt::Status::Code::kOk:
        logger_->Log(5, "Successfully created client profile: %1", name);
        return name;
      case Basalt::Status::Code::kAlreadyExists:
        logger_->Log(3, "Cannot create client profile, already exists: %1", name);
        return Basalt::Unexpected{Orbi::Std::AlreadyExists()};
      default:
        logger_->Log(3, "Failed to create client profile: %1", name);
        return Basalt::Unexpected{Orbi::Std::InternalServerError()};
    }
  });
}

void ClientProfileImpl::Get(Orbi::Core::ExecutionContextPtr, std::string profile,
                            Orbi::Bind::Reply<Info> reply) {
  Run(*logger_, "Get", reply, [&]() -> Outcome<Info> {
    Basalt::System::ScopedReadLock lock(*profiles_);
    auto found = profiles_->FindByName(profile);
    if (!found) {
      logger_->Log(3, "Failed to get client profile, profile not found: %1", profile);
      return Basalt::Unexpected{Orbi::Std::NotFound({NotFoundMessage(profile)})};
    }
    return Info{found->subject, CopyGrants(found->grants)};
  });
}

void ClientProfileImpl::Set(Orbi::Core::ExecutionContextPtr context, std::string profile,
                            SetSpec spec, Orbi::Bind::Reply<void> reply) {
  Run(*logger_, "Set", reply, [&]() -> VoidOutcome {
    Basalt::System::ScopedWriteLock lock(*profiles_);
    switch (profiles_
                ->Update(profile, WithoutNulls(std::move(spec.grants)), Witnessed(context, profile))
                .code()) {
      case Basalt::Status::Code::kOk:
        logger_->Log(5, "Successfully updated client profile: %1", profile);
        return std::monostate{};
      case Basalt::Status::Code::kNotFound:
        logger_->Log(3, "Failed to set client profile, profile not found: %1", profile);
        return Basalt::Unexpected{Orbi::Std::NotFound({NotFoundMessage(profile)})};
      default:
        logger_->Log(3, "Failed to set client profile, serialization error: %1", profile);
        return Basalt::Unexpected{Orbi::Std::InternalServerError()};
    }
  });
}

void ClientProfileImpl::Delete(Orbi::Core::ExecutionContextPtr context, std::string profile,
                               Orbi::Bind::Reply<void> reply) {
  Run(*logger_, "Delete", reply, [&]() -> VoidOutcome {
    Basalt::System::ScopedWriteLock lock(*profiles_);
    if (!profiles_->FindByName(profile)) {
      logger_->Log(3, "Failed to remove client profile, profile not found: %1", profile);
      return Basalt::Unexpected{Orbi::Std::NotFound({NotFoundMessage(profile)})};
    }
    if (!profiles_->Erase(profile, Witnessed(context, profile)).ok()) {
      logger_->Log(3, "Failed to remove client profile from the profile cache: %1", profile);
      return Basalt::Unexpected{Orbi::Std::InternalServerError()};
    }
    logger_->Log(5, "Successfully removed client profile: %1", profile);
    return std::monostate{};
  });
}

}  // namespace Com::Tessel::Nox::Authentication
