// Limits of the HTTP layer: what a slow, silent or hostile client may cost.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace torvesk {

// A connection with no byte of a new request for this long is closed (also between keep-alive
// requests); the browser polls every 2 s, so a live page never gets near it.
inline constexpr std::chrono::seconds kIdleTimeout{30};
// Once the first byte of a head has arrived, the whole head must follow within this time, so a
// client dribbling header lines cannot hold a connection open (slowloris).
inline constexpr std::chrono::seconds kHeadTimeout{10};
// Largest request head accepted (request line and headers); beyond it the answer is 431.
// Generous for browsers with cookies, small enough that 10000 slow heads stay cheap.
inline constexpr std::uint32_t kMaxHeadBytes = 16 * 1024;
// A body read (ahead of the hand-over, or by a worker) fails when no byte of the body arrives for
// this long, and is then answered 400; a client that sends at all sends more than that.
inline constexpr std::chrono::seconds kBodyStallTimeout{10};
// A worker waiting for a body that has not started (the client asked for 100 Continue and then
// sent nothing) gives up much sooner: the body follows the interim answer within a round trip,
// and a silent client must not hold a worker for long.
inline constexpr std::chrono::seconds kBodyStartTimeout{2};
// However steadily it progresses, one body read ends after this long, so that a client trickling
// a byte now and then cannot hold a worker or a read ahead for good. 8 MiB in 30 s needs about
// 2.2 Mbit/s.
inline constexpr std::chrono::seconds kBodyReadTimeout{30};
// Workers one client address may hold at once inside body reads that wait on the network; a
// further push from it gets the busy answer instead of a worker. Fast clients hold a worker for
// milliseconds, so only slow or silent ones meet the limit, and they cannot take every worker.
inline constexpr std::size_t kMaxBodyReadsPerAddress = 4;
// An answer the client does not take within this time is abandoned (slow reader).
inline constexpr std::chrono::seconds kWriteTimeout{30};
// After a refusal sent before the body was read, what the client still sends is read and thrown
// away for at most this long and this many bytes before closing, so that the client sees the
// answer instead of a connection reset.
inline constexpr std::chrono::milliseconds kDrainTimeout{2000};
inline constexpr std::size_t kDrainMaxBytes = 4 * 1024 * 1024;
// First read of a new request head; heads are small, and an idle connection should cost little.
// The buffer grows as a head needs, up to kMaxHeadBytes.
inline constexpr std::size_t kHeadReadBytes = 4 * 1024;
// Socket reads of chunked bodies use this much buffer space; large reads halve the number of
// hand-offs on big bodies.
inline constexpr std::size_t kReadBufferBytes = 64 * 1024;
// What a connection's read buffer may hold unparsed: a head and what followed it, or a chunk-size
// line or trailer that has not ended yet. A chunk header that never ends would otherwise grow the
// buffer without bound; past this the read fails.
inline constexpr std::size_t kMaxBufferedBytes = 2 * kReadBufferBytes;
static_assert(kMaxBufferedBytes >= kMaxHeadBytes + kHeadReadBytes);
// Content-Length bodies are read straight into the destination in pieces of at most this size.
inline constexpr std::size_t kBodyReadChunkBytes = 1024 * 1024;
// Bodies read ahead of their hand-over (so that a slow body holds no worker) may hold this much
// memory together; beyond it, the rest of a body is left for its worker to read.
inline constexpr std::uint64_t kPrereadBudgetBytes = 256 * 1024 * 1024;
// A body read ahead grows by pieces of at least this size (at most kBodyReadChunkBytes), in step
// with what has arrived, so that a stalled client costs little memory.
inline constexpr std::size_t kPrereadPieceBytes = 64 * 1024;
// Answers written to clients that take them slowly stay in memory until written or timed out;
// while they hold this much together, new requests get the busy answer, so that slow readers of
// large downloads cannot make the monitor run out of memory. Far above what fast clients keep
// in flight: their answers leave within milliseconds.
inline constexpr std::uint64_t kPendingAnswerBudgetBytes = 128 * 1024 * 1024;
// Connections beyond this count are closed as soon as they are accepted; each costs a socket
// and a read buffer. Lowered at start-up to what the descriptor limit leaves
// (kReservedDescriptors).
inline constexpr std::size_t kMaxConnections = 10000;
// Open connections one client address may hold; its further connections are closed as soon as
// they are accepted, so that one address idling thousands of sockets cannot starve the others.
// Far above what a browser (six per host) or a runner keeps open.
inline constexpr std::size_t kMaxConnectionsPerAddress = 256;
// One address never holds more than this fraction of the connection limit, however low the
// descriptor limit has made it.
inline constexpr std::size_t kConnectionShareDivisor = 4;
// Descriptors kept out of the connection limit: the listener, the event loop, the standard
// streams, and the log files that workers, helpers and the load open at once.
inline constexpr std::size_t kReservedDescriptors = 64;
// After a transient accept failure (out of file descriptors, aborted connection) accepting is
// tried again after this pause instead of spinning.
inline constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

// Connections taken from the listen queue per accept completion: enough that a queue filled by a
// burst of clients empties in a few passes over the ready handlers, few enough that one pass
// does not hold the other sessions back for long.
inline constexpr std::size_t kAcceptBatch = 64;

}  // namespace torvesk
