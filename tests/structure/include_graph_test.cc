// The modules' dependency rules, read from the sources' own #include lines: a module includes
// only the modules below it, and no two components (a header and its source) reach each other.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSourceRoot = fs::path(TORVESK_SOURCE_DIR) / "src";

// Each module and the modules it may include, lowest first.
const std::map<std::string, std::set<std::string>> kAllowedIncludes = {
    {"base", {}},
    {"server", {"base"}},
    {"store", {"base"}},
    {"view", {"base", "server", "store"}},
    {"gate", {"base", "server", "store", "view"}},
    {"bin", {"base", "server", "store", "view", "gate"}},
};

// "store/run" for src/store/run.h and src/store/run.cc alike.
std::string component_of(const fs::path& relative) {
  return (relative.parent_path() / relative.stem()).generic_string();
}

std::string module_of(const std::string& component) {
  return component.substr(0, component.find('/'));
}

// Component to the components its header and source include from src/.
std::map<std::string, std::set<std::string>> read_include_graph() {
  std::map<std::string, std::set<std::string>> graph;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(kSourceRoot)) {
    const fs::path& path = entry.path();
    if (!entry.is_regular_file() || (path.extension() != ".h" && path.extension() != ".cc")) {
      continue;
    }
    const std::string component = component_of(fs::relative(path, kSourceRoot));
    std::set<std::string>& edges = graph[component];
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const std::string directive = "#include \"";
      if (line.rfind(directive, 0) != 0) continue;
      const std::size_t end = line.find('"', directive.size());
      if (end == std::string::npos) continue;
      const fs::path included = line.substr(directive.size(), end - directive.size());
      if (!fs::exists(kSourceRoot / included)) continue;  // not one of ours
      const std::string target = component_of(included);
      if (target != component) edges.insert(target);
    }
  }
  return graph;
}

// A cycle through `node` if there is one, as the path that closes it.
bool find_cycle(const std::map<std::string, std::set<std::string>>& graph, const std::string& node,
                std::map<std::string, int>& state, std::vector<std::string>& path) {
  state[node] = 1;  // on the path
  path.push_back(node);
  if (const auto it = graph.find(node); it != graph.end()) {
    for (const std::string& next : it->second) {
      if (state[next] == 1) {
        path.push_back(next);
        return true;
      }
      if (state[next] == 0 && find_cycle(graph, next, state, path)) return true;
    }
  }
  path.pop_back();
  state[node] = 2;  // done, no cycle through it
  return false;
}

TEST(IncludeGraph, ModulesIncludeOnlyTheModulesBelowThem) {
  const auto graph = read_include_graph();
  ASSERT_FALSE(graph.empty()) << kSourceRoot;
  for (const auto& [component, targets] : graph) {
    const std::string module = module_of(component);
    const auto allowed = kAllowedIncludes.find(module);
    ASSERT_NE(allowed, kAllowedIncludes.end()) << "module without a rule: " << module;
    for (const std::string& target : targets) {
      const std::string target_module = module_of(target);
      if (target_module == module) continue;
      EXPECT_TRUE(allowed->second.count(target_module) != 0)
          << component << " includes " << target << ": " << module << " may not include "
          << target_module;
    }
  }
}

TEST(IncludeGraph, NoComponentsReachEachOther) {
  const auto graph = read_include_graph();
  std::map<std::string, int> state;
  for (const auto& entry : graph) {
    std::vector<std::string> path;
    if (state[entry.first] == 0 && find_cycle(graph, entry.first, state, path)) {
      // The path may start before the cycle does: show it from the node that closes it.
      std::size_t start = 0;
      while (path[start] != path.back()) ++start;
      std::string shown;
      for (const std::string& step : std::vector(path.begin() + start, path.end()))
        shown += (shown.empty() ? "" : " -> ") + step;
      ADD_FAILURE() << "include cycle: " << shown;
      return;
    }
  }
}

}  // namespace
