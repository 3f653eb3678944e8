// GET /metrics: the operators' counters in the Prometheus text exposition format.
#pragma once

#include "server/metrics.h"
#include "server/response.h"
#include "store/run_store.h"

namespace torvesk {

// Runs and events held are counted under the store's lock, in one pass over the runs; everything
// else is read from `metrics` with no lock.
Response metrics_answer(const Metrics& metrics, RunStore& store);

}  // namespace torvesk
