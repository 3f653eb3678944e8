#include "runner_sim/sim_events.h"

#include <array>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <cstdio>
#include <random>
#include <string_view>

namespace torvesk::sim {
namespace {

constexpr std::array<std::string_view, 6> kPlanNames = {"orders-nightly", "customer-merge",
                                                        "invoice-export", "stock-reconcile",
                                                        "payroll-close",  "lead-scoring"};
constexpr std::array<std::string_view, 4> kStudios = {"Studio Nord", "Finance ETL", "Data Platform",
                                                      "Équipe Ventes"};
constexpr std::array<std::string_view, 3> kHosts = {"runner-01.lan", "runner-02.lan",
                                                    "build-agent-7"};
constexpr std::array<std::string_view, 4> kSourceLabels = {
    "Read orders.csv", "Read customers from ERP", "Read stock.parquet", "Read Aufträge.xlsx"};
constexpr std::array<std::string_view, 5> kTransformLabels = {
    "Join customers", "Dedupe by key", "Map currencies", "Aggregate by day", "Split by region"};
constexpr std::array<std::string_view, 3> kSinkLabels = {"Write warehouse", "Export invoices.xlsx",
                                                         "Upsert into CRM"};
constexpr std::array<std::string_view, 7> kRules = {"email is valid",
                                                    "amount >= 0",
                                                    "country in ISO 3166",
                                                    "customer_id not null",
                                                    "date not in future",
                                                    "vat id checksum",
                                                    "currency is \"EUR\" or \"USD\""};
constexpr std::array<std::string_view, 3> kActions = {"reject", "warn", "error"};
constexpr std::array<std::string_view, 4> kProcessNames = {"torvesk-runner", "python3",
                                                           "duckdb-worker", "java"};

enum class NodeKind { kSource, kValidate, kTransform, kSink };

struct Rule {
  std::string_view name;
  std::string_view action;
  std::uint64_t violations = 0;
};

struct Node {
  std::string id;
  std::string label;
  NodeKind kind = NodeKind::kTransform;
  std::vector<Rule> rules;
  std::uint64_t rows_in = 0;
  std::uint64_t rows_out = 0;
  std::uint64_t rows_rejected = 0;
};

std::string hex(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4) text[i] = kDigits[value & 15];
  return text;
}

std::mt19937_64 random_for(const RunSpec& spec) {
  std::seed_seq seed{static_cast<std::uint32_t>(spec.seed),
                     static_cast<std::uint32_t>(spec.seed >> 32), spec.index};
  return std::mt19937_64(seed);
}

// Builds one run's lines; every call to `emit` is one event.
class RunBuilder {
 public:
  explicit RunBuilder(const RunSpec& spec)
      : random_(random_for(spec)), run_id_(simulated_run_id(spec)), now_(spec.start_ms) {}

  std::vector<std::string> build(std::size_t wanted_events) {
    plan_nodes();
    const bool fails = between(0, 3) == 0;
    const std::size_t failing = fails ? between(1, nodes_.size() - 1) : nodes_.size();
    const bool interrupts = fails && failing + 1 < nodes_.size();
    const std::size_t executed = fails ? failing + 1 : nodes_.size();

    std::size_t skeleton = 2 + (interrupts ? 2 : 0);
    for (std::size_t i = 0; i < executed; ++i) {
      skeleton += 2 + (nodes_[i].kind == NodeKind::kValidate ? 1 : 0);
    }
    const std::size_t filler = wanted_events > skeleton ? wanted_events - skeleton : 0;

    run_started();
    for (std::size_t i = 0; i < executed; ++i) {
      Node& node = nodes_[i];
      const std::uint64_t started = emit("NodeStarted", node_payload(node));
      const std::size_t share = filler / executed + (i < filler % executed ? 1 : 0);
      for (std::size_t f = 0; f < share; ++f) filler_event(node);
      if (node.kind == NodeKind::kValidate) rule_stats(node, fails && i == failing);
      if (fails && i == failing) {
        Node* parallel = interrupts ? &nodes_[i + 1] : nullptr;
        if (parallel) emit("NodeStarted", node_payload(*parallel));
        boost::json::object payload = node_payload(node);
        payload["error"] = failure_text(node);
        emit("NodeFailed", std::move(payload));
        if (parallel) {
          boost::json::object interrupted = node_payload(*parallel);
          interrupted["reason"] = "run failed in another lane";
          emit("NodeInterrupted", std::move(interrupted));
        }
      } else {
        boost::json::object payload = node_payload(node);
        payload["stats"] = {{"rows_in", node.rows_in},
                            {"rows_out", node.rows_out},
                            {"rows_rejected", node.rows_rejected}};
        payload["elapsed_ms"] = now_ + 1 - started;
        emit("NodeCompleted", std::move(payload));
      }
    }
    if (fails) {
      run_failed(failing);
    } else {
      run_completed();
    }
    return std::move(lines_);
  }

 private:
  std::uint64_t between(std::uint64_t low, std::uint64_t high) {
    return low + random_() % (high - low + 1);
  }

  template <std::size_t N>
  std::string_view pick(const std::array<std::string_view, N>& choices) {
    return choices[between(0, N - 1)];
  }

  void plan_nodes() {
    const std::size_t count = between(3, 7);
    std::uint64_t rows = between(500, 2'000'000);
    for (std::size_t i = 0; i < count; ++i) {
      Node node;
      node.id = "n" + std::to_string(i + 1);
      if (i == 0) {
        node.kind = NodeKind::kSource;
        node.label = pick(kSourceLabels);
      } else if (i + 1 == count) {
        node.kind = NodeKind::kSink;
        node.label = pick(kSinkLabels);
      } else if (i == 1 || between(0, 2) == 0) {
        node.kind = NodeKind::kValidate;
        node.label = i == 1 ? "Validate rows" : "Check totals";
      } else {
        node.kind = NodeKind::kTransform;
        node.label = pick(kTransformLabels);
      }
      node.rows_in = rows;
      if (node.kind == NodeKind::kValidate) {
        const std::size_t rule_count = between(1, 4);
        std::uint64_t rejected = 0;
        for (std::size_t r = 0; r < rule_count; ++r) {
          Rule rule{kRules[(i + r) % kRules.size()], kActions[between(0, 2)], 0};
          // A violated "error" rule fails its node; in a run that goes on it is always met.
          if (rule.action != "error" && between(0, 2) != 0) {
            rule.violations = between(1, std::max<std::uint64_t>(1, rows / 50));
          }
          if (rule.action == "reject") rejected += rule.violations;
          node.rules.push_back(rule);
        }
        node.rows_rejected = std::min(rejected, rows);
        node.rows_out = rows - node.rows_rejected;
      } else if (node.kind == NodeKind::kTransform) {
        node.rows_out = between(0, 3) == 0 ? rows - rows / between(3, 20) : rows;
      } else {
        node.rows_out = rows;
      }
      rows = node.rows_out;
      nodes_.push_back(std::move(node));
    }
  }

  boost::json::object payload() {
    boost::json::object payload;
    payload["run_id"] = run_id_;
    return payload;
  }

  boost::json::object node_payload(const Node& node) {
    boost::json::object result = payload();
    result["node_id"] = node.id;
    result["label"] = node.label;
    return result;
  }

  // Appends the event and returns its "ts"; times strictly increase so no two lines are equal.
  std::uint64_t emit(std::string_view type, boost::json::object event_payload) {
    now_ += between(3, 250);
    boost::json::object event;
    event["type"] = type;
    event["ts"] = now_;
    event["payload"] = std::move(event_payload);
    lines_.push_back(boost::json::serialize(event));
    return now_;
  }

  void run_started() {
    boost::json::object p = payload();
    p["plan_name"] = pick(kPlanNames);
    p["studio_label"] = pick(kStudios);
    p["studio_version"] =
        "2024." + std::to_string(between(1, 4)) + "." + std::to_string(between(0, 9));
    p["studio_id"] = hex(random_(), 8) + "-" + hex(random_(), 4) + "-" + hex(random_(), 4);
    p["plan_version"] = std::to_string(between(1, 40));
    p["plan_hash"] = "sha256:" + hex(random_(), 16) + hex(random_(), 16) + hex(random_(), 16) +
                     hex(random_(), 16);
    p["runner_host"] = pick(kHosts);
    p["log_level"] = between(0, 3) == 0 ? "debug" : "info";
    p["artifact_id"] = "art-" + hex(random_(), 10);
    p["started_at"] = now_ + 1;
    emit("RunStarted", std::move(p));
    started_at_ = now_;
  }

  void filler_event(const Node& node) {
    if (++filler_count_ % 6 == 0) {
      memory_sample(node);
    } else {
      node_log(node);
    }
  }

  void node_log(const Node& node) {
    static constexpr std::array<std::string_view, 4> kFirstLevels = {"info", "debug", "warn",
                                                                     "error"};
    std::string_view level;
    if (log_count_ < kFirstLevels.size()) {
      level = kFirstLevels[log_count_];
    } else {
      const std::uint64_t roll = between(0, 99);
      level = roll < 25 ? "debug" : roll < 80 ? "info" : roll < 95 ? "warn" : "error";
    }
    ++log_count_;
    std::string message;
    if (level == "debug") {
      message = "buffer flushed (" + std::to_string(between(4096, 1 << 20)) + " bytes)";
    } else if (level == "info") {
      message =
          "processed " + std::to_string(between(1, node.rows_in + 1)) + " rows of " + node.label;
    } else if (level == "warn") {
      message = between(0, 1) == 0
                    ? "value \"n/a\" in column\tamount treated as null"
                    : "slow response from database (" + std::to_string(between(800, 9000)) + " ms)";
    } else {
      message =
          "connection reset by peer, retrying (attempt " + std::to_string(between(1, 4)) + "/5)";
    }
    boost::json::object p = node_payload(node);
    p["level"] = level;
    p["message"] = message;
    emit("NodeLog", std::move(p));
  }

  void memory_sample(const Node& node) {
    const std::size_t process_count = between(1, 4);
    boost::json::array processes;
    std::uint64_t total_rss = 0, total_pss = 0, total_private = 0;
    for (std::size_t i = 0; i < process_count; ++i) {
      const std::uint64_t rss = between(20, 900) << 20;
      const std::uint64_t pss = rss - rss / between(4, 10);
      const std::uint64_t private_bytes = pss - pss / between(3, 8);
      total_rss += rss;
      total_pss += pss;
      total_private += private_bytes;
      processes.push_back(boost::json::object{{"pid", between(1000, 60000)},
                                              {"name", kProcessNames[i % kProcessNames.size()]},
                                              {"rss", rss},
                                              {"pss", pss},
                                              {"private", private_bytes}});
    }
    boost::json::object p = payload();
    p["node_id"] = node.id;
    p["rss"] = total_rss / process_count;
    p["detail"] = {{"total_rss", total_rss},
                   {"total_pss", total_pss},
                   {"total_private", total_private},
                   {"processes", std::move(processes)}};
    emit("MemorySample", std::move(p));
  }

  void rule_stats(Node& node, bool failing) {
    if (failing) node.rules.push_back(Rule{"amount >= 0", "error", between(1, 12)});
    boost::json::array rules;
    for (const Rule& rule : node.rules) {
      rules.push_back(boost::json::object{
          {"rule", rule.name}, {"action", rule.action}, {"violations", rule.violations}});
    }
    boost::json::object p = node_payload(node);
    p["rules"] = std::move(rules);
    emit("NodeRuleStats", std::move(p));
  }

  std::string failure_text(const Node& node) {
    if (node.kind == NodeKind::kValidate) return "rule \"amount >= 0\" failed on some rows";
    if (node.kind == NodeKind::kSink) return "target table locked by another session";
    return "out of memory while building the hash table of " + node.label;
  }

  void run_completed() {
    boost::json::object node_stats;
    for (const Node& node : nodes_) {
      node_stats[node.id] = {{"rows_in", node.rows_in},
                             {"rows_out", node.rows_out},
                             {"rows_rejected", node.rows_rejected}};
    }
    const std::uint64_t elapsed = now_ + 1 - started_at_;
    boost::json::object p = payload();
    p["stats"] = {{"node_stats", std::move(node_stats)},
                  {"total_ms", elapsed},
                  {"lanes_ok", between(1, 4)},
                  {"lanes_failed", 0}};
    p["elapsed_ms"] = elapsed;
    emit("RunCompleted", std::move(p));
  }

  // A failed run ends without node statistics, as real runners do.
  void run_failed(std::size_t failing) {
    const std::uint64_t elapsed = now_ + 1 - started_at_;
    boost::json::object p = payload();
    p["error"] = "node " + nodes_[failing].id + " (" + nodes_[failing].label + ") failed";
    p["stats"] = {{"total_ms", elapsed}, {"lanes_ok", between(0, 3)}, {"lanes_failed", 1}};
    p["elapsed_ms"] = elapsed;
    emit("RunFailed", std::move(p));
  }

  std::mt19937_64 random_;
  const std::string run_id_;
  std::uint64_t now_;
  std::uint64_t started_at_ = 0;
  std::vector<Node> nodes_;
  std::vector<std::string> lines_;
  std::size_t filler_count_ = 0;
  std::size_t log_count_ = 0;
};

}  // namespace

std::string simulated_run_id(const RunSpec& spec) {
  std::mt19937_64 random = random_for(spec);
  return "run-" + hex(random(), 12) + "-" + std::to_string(spec.index);
}

std::vector<std::string> simulate_run(const RunSpec& spec) {
  return RunBuilder(spec).build(spec.events);
}

std::string simulated_batch(std::uint64_t seed, std::size_t events_per_run, std::uint64_t start_ms,
                            std::size_t max_bytes) {
  std::string batch;
  batch.reserve(max_bytes);
  for (std::uint32_t index = 0;; ++index) {
    const RunSpec spec{seed, index, events_per_run, start_ms + index * 1000ull};
    for (const std::string& line : simulate_run(spec)) {
      if (batch.size() + line.size() + 1 > max_bytes) return batch;
      batch += line;
      batch += '\n';
    }
  }
}

}  // namespace torvesk::sim
