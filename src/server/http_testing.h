// A seam of the HTTP layer for tests: faults injected where the layer's own code runs.
#pragma once

namespace torvesk::http_testing {

// The next `count` body-read completions (a piece of a body arrived) fail as if memory ran out,
// so that a test can check that such a fault closes the connection and releases the worker that
// waits on the read. Any thread.
void fail_body_reads(int count);

}  // namespace torvesk::http_testing
