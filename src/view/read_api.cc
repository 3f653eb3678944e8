// Placeholder until this module is implemented.
#include "view/read_api.h"
namespace torvesk {
Response run_list(RunStore&, const std::string&) { return text_response(404, "not found"); }
Response run_detail(RunStore&, const std::string&) { return text_response(404, "not found"); }
Response run_download(RunStore&, const std::string&) { return text_response(404, "not found"); }
Response dashboard_page() {
  Response response = text_response(200, dashboard_html());
  add_header(response, "Content-Type", "text/html; charset=utf-8");
  return response;
}
}  // namespace torvesk
