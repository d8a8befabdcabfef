#include "apps/noxtokend/orbi/externalSts/securityTokenIssuersImpl.h"

#include "apps/noxtokend/orbi/externalSts/messageIds.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

using Basalt::System::ScopedReadLock;
using Basalt::System::ScopedWriteLock;
using Orbi::L10n::Message;
using Orbi::Std::StdError;

namespace {

Message IssuersMessage(const char* id,
                       std::vector<std::pair<std::string, Orbi::L10n::Argument>> args = {}) {
  return Message{id, std::move(args)};
}

Message NotFoundMessage(const std::string& alias) {
  return IssuersMessage(MessageIds::kIssuerAliasNotFound, {{"issuerAlias", alias}});
}

Message IssuerExistsMessage(const IssuerAlreadyExistsInfo& conflict) {
  return IssuersMessage(MessageIds::kIssuerAlreadyExists,
                        {{"issuer", conflict.issuer}, {"issuerAlias", conflict.issuer_alias}});
}

StdError Invalid(const std::vector<StandardizingCertificateError>& errors) {
  std::vector<Message> messages;
  messages.reserve(errors.size());
  for (const auto& error : errors) {
    messages.push_back(IssuersMessage(MessageIds::kStandardizingCertificateFailed,
                                      {{"chain_index", error.chain_index},
                                       {"cert_index", error.cert_index},
                                       {"cert", error.cert}}));
  }
  return Orbi::Std::InvalidArgument(std::move(messages));
}

StdError Invalid(const std::vector<ParsingCertificateError>& errors) {
  std::vector<Message> messages;
  messages.reserve(errors.size());
  for (const auto& error : errors) {
    messages.push_back(
        IssuersMessage(MessageIds::kParsingCertificateFailed, {{"chain_index", error.chain_index},
                                                               {"cert_index", error.cert_index},
                                                               {"cert", error.cert},
                                                               {"message", error.message}}));
  }
  return Orbi::Std::InvalidArgument(std::move(messages));
}

}  // namespace

SecurityTokenIssuersImpl::SecurityTokenIssuersImpl(CertificateChainsContainerPtr container,
                                                   ChangeWitness witness)
    : container_(std::move(container)),
      witness_(std::move(witness)),
      logger_(Basalt::Service::Logger::CreateLogger(kIssuersLoggerName)) {}

CertificateChainsContainer::ChangeCheck SecurityTokenIssuersImpl::Witnessed(
    const Orbi::Core::ExecutionContextPtr& call, const std::string& issuerAlias) const {
  if (!witness_ || !call) return nullptr;
  return [this, &call, &issuerAlias](const Info* after) {
    return witness_(*call, issuerAlias, after);
  };
}

void SecurityTokenIssuersImpl::Refuse(const Orbi::Bind::Detail::ReplyBase& reply,
                                      const StdError& error) const {
  for (const auto& message : error.messages)
    logger_->Log(3, "%1", reply.GetLocalizer()->FormatForLog(message));
  reply.Fail(error);
}

void SecurityTokenIssuersImpl::Conclude(const Orbi::Bind::Reply<void>& reply,
                                        const IssuerChange& outcome,
                                        const std::string& issuerAlias) const {
  if (outcome) {
    reply.Answer();
    return;
  }
  const IssuerRefusal& refusal = outcome.error();
  switch (refusal.status.code()) {
    case Basalt::Status::Code::kNotFound:
      Refuse(reply, Orbi::Std::NotFound({NotFoundMessage(issuerAlias)}));
      return;
    case Basalt::Status::Code::kAlreadyExists: {
      std::vector<Message> messages;
      if (refusal.aliasTaken) {
        messages.push_back(
            IssuersMessage(MessageIds::kIssuerAliasAlreadyExists, {{"issuerAlias", issuerAlias}}));
      }
      Orbi::Data::ValuePtr data;
      if (refusal.issuerTaken) {
        messages.push_back(IssuerExistsMessage(*refusal.issuerTaken));
        data = ToValue(*refusal.issuerTaken);
      }
      Refuse(reply, Orbi::Std::AlreadyExists(std::move(messages), std::move(data)));
      return;
    }
    case Basalt::Status::Code::kInvalidArgument:
      Refuse(reply, refusal.standardizing.empty() ? Invalid(refusal.parsing)
                                                  : Invalid(refusal.standardizing));
      return;
    case Basalt::Status::Code::kOk:
    case Basalt::Status::Code::kIOError:
      break;
  }
  Refuse(reply, Orbi::Std::Error({IssuersMessage(
                    MessageIds::kStorageUpdateFailed,
                    {{"issuerAlias", issuerAlias}, {"message", refusal.status.message()}})}));
}

std::vector<Summary> SecurityTokenIssuersImpl::ListSummaries(const SummaryType& projection) const {
  std::vector<Summary> summaries;
  const auto& table = container_->GetInfoByAlias();
  summaries.reserve(table.size());
  for (const auto& [alias, info] : table) {
    Summary summary{projection, alias, std::nullopt, std::nullopt};
    if (projection != SummaryType::ALIAS) summary.issuer = info.issuer;
    if (projection == SummaryType::FULL) summary.signing_cert_chains = info.signing_cert_chains;
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

void SecurityTokenIssuersImpl::List(Orbi::Core::ExecutionContextPtr,
                                    std::optional<SummaryType> projection,
                                    Orbi::Bind::Reply<std::vector<Summary>> reply) {
  if (!projection) {
    logger_->Log(5, "Projection not explicitly set");
    projection = SummaryType::ISSUER;
  }
  if (projection->IsUnknown()) {
    Refuse(reply, Orbi::Std::InvalidArgument({IssuersMessage(MessageIds::kUnknownSummaryType)}));
    return;
  }
  logger_->Log(5, "Summarizing in %1 type the available information", projection->ToString());
  std::vector<Summary> summaries;
  {
    ScopedReadLock lock(*container_);
    summaries = ListSummaries(*projection);
  }
  reply.Answer(std::move(summaries));
}

void SecurityTokenIssuersImpl::Create(Orbi::Core::ExecutionContextPtr context, CreateSpec spec,
                                      Orbi::Bind::Reply<void> reply) {
  logger_->Log(5, "Saving certificates for issuer %1 under issuer alias %2", spec.issuer,
               spec.issuer_alias);
  CertificateChainsContainer::LogCertificateChains(*logger_, spec.signing_cert_chains);

  // The lock is gone before the reply is built.
  const IssuerChange outcome = [&] {
    ScopedWriteLock lock(*container_);
    return container_->CreateIssuer(spec.issuer_alias, spec.issuer, spec.signing_cert_chains,
                                    Witnessed(context, spec.issuer_alias));
  }();
  Conclude(reply, outcome, spec.issuer_alias);
}

void SecurityTokenIssuersImpl::Get(Orbi::Core::ExecutionContextPtr, std::string issuerAlias,
                                   Orbi::Bind::Reply<Info> reply) {
  logger_->Log(5, "Getting certificates for issuer alias %1", issuerAlias);
  std::optional<Info> info;
  {
    ScopedReadLock lock(*container_);
    if (const Info* found = container_->FindInfo(issuerAlias)) info = *found;
  }
  if (!info) {
    Refuse(reply, Orbi::Std::NotFound({NotFoundMessage(issuerAlias)}));
    return;
  }
  reply.Answer(std::move(*info));
}

void SecurityTokenIssuersImpl::Set(Orbi::Core::ExecutionContextPtr context, std::string issuerAlias,
                                   SetSpec spec, Orbi::Bind::Reply<void> reply) {
  logger_->Log(5, "Updating data for issuer alias %1", issuerAlias);
  if (spec.issuer) logger_->Log(5, "Updating issuer to %1", *spec.issuer);
  if (spec.signing_cert_chains) {
    logger_->Log(5, "Updating signing certificate chains with:");
    CertificateChainsContainer::LogCertificateChains(*logger_, *spec.signing_cert_chains);
  }

  const IssuerChange outcome = [&] {
    ScopedWriteLock lock(*container_);
    return container_->UpdateIssuer(issuerAlias, spec.issuer, spec.signing_cert_chains,
                                    Witnessed(context, issuerAlias));
  }();
  Conclude(reply, outcome, issuerAlias);
}

void SecurityTokenIssuersImpl::Delete(Orbi::Core::ExecutionContextPtr context,
                                      std::string issuerAlias, Orbi::Bind::Reply<void> reply) {
  logger_->Log(5, "Deleting data for issuer alias %1", issuerAlias);
  const IssuerChange outcome = [&] {
    ScopedWriteLock lock(*container_);
    return container_->RemoveIssuer(issuerAlias, Witnessed(context, issuerAlias));
  }();
  Conclude(reply, outcome, issuerAlias);
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc
