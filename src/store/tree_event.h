// An event added to a prepared batch from its parsed tree: the way of every line the direct
// writer declines, and of events made in code.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string_view>

#include "store/event_rules.h"
#include "store/prepared_batch.h"

namespace torvesk {

// Adds the event made of `json` (its canonical text, fingerprint and fields) to the batch. The
// run id and the type are read from `json` by the rules of normalisation unless given.
void add_prepared_event(PreparedBatch& batch, const boost::json::value& json, std::uint64_t ts,
                        std::optional<std::string_view> run_id = std::nullopt,
                        std::optional<std::string_view> type = std::nullopt);

// Applies `rule` to a normalised event value in place: drops its own "_observed_ip" where the rule
// says so, and stamps the rule's address into a "RunStarted" event.
void apply_observed_address_rule(boost::json::value& event, const ObservedAddressRule& rule);

}  // namespace torvesk
