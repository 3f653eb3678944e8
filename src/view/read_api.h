// Answers of the read side: run list, run detail, download, and the dashboard page.
#pragma once

#include <string>
#include <string_view>

#include "server/response.h"
#include "store/run_store.h"

namespace torvesk {

Response run_list(RunStore& store, const std::string& data_dir);
Response run_detail(RunStore& store, const std::string& run_id);
Response run_download(RunStore& store, const std::string& run_id);
Response dashboard_page();

// The embedded page, byte for byte as in assets/dashboard/index.html (generated at build time).
std::string_view dashboard_html();

}  // namespace torvesk
