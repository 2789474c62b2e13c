#pragma once

// What one NBD connection of the plugin holds: its own tarveloftp session
// with the LUN, and the requests nbdkit's threads hand it side by side.
//
// nbdkit calls in from several threads at once for one connection. One
// thread of the connection's own carries the requests over the session, in
// the order they came; each caller waits until its request is done. Reads
// stream: while the next request waiting is a read, it joins the pipeline
// of reads in flight, and each read is done as soon as its bytes are in, so
// the session never drains between requests that arrive while others are
// on the way.
//
// With several sessions, writes, trims, zeros and flushes all go through the
// first, so they stay in order. Reads are shared out among all of them, but
// only while every write sent is known to be visible to the others:
// answered in order behind it by a server writing directly, or committed by
// collecting the outcomes against block-hash storage. Until then reads too
// go through the first session, behind the writes.
//
// Writes are sent without waiting for the server; their outcomes come back
// later as acknowledgements, which flush() and FUA writes collect (and,
// before the server's queue of them can overflow, the writes themselves).
// A failed write is reported by the next write, zero, trim or flush.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tarveloftp/TarveloFTPClient.h>

#include "Session.h"

namespace tarvelo::nbd {

class LunConnection {
 public:
  // Opens `sessions` sessions (at least one); throws tools::ToolError with
  // the reason.
  LunConnection(tools::Remote remote, int sessions);
  // Stops carrying and closes the sessions, which commits and syncs on the
  // server. No request may be running.
  ~LunConnection();
  LunConnection(const LunConnection&) = delete;
  LunConnection& operator=(const LunConnection&) = delete;

  long size() const { return m_size; }
  bool can_punch() const { return (m_features & FEATURE_HOLE_PUNCH) != 0; }

  // Each returns 0, or an errno value with the reason in `error`.
  int read(void* buffer, uint32_t count, uint64_t offset, std::string& error);
  int write(const void* buffer, uint32_t count, uint64_t offset, std::string& error);
  // A hole where the server can punch one; elsewhere zeros are written
  // when `zeros_otherwise` (a trim is only a hint, so it needs none).
  int punch(uint32_t count, uint64_t offset, bool zeros_otherwise, std::string& error);
  int write_zeros(uint32_t count, uint64_t offset, std::string& error);
  // Every write acknowledged and on stable storage, or an error.
  int flush(std::string& error);
  // Before the connection closes, with no request running: the failed
  // writes no flush reported, collected from the server; empty if none.
  std::string finish();

 private:
  enum class Kind { Read, Write, Punch, Zeros, Flush };
  struct Request {
    Kind kind = Kind::Read;
    char* buffer = nullptr;
    uint64_t offset = 0;
    uint64_t count = 0;
    bool zeros_otherwise = false;
    uint64_t unread = 0;  // bytes of a read not yet arrived
    bool done = false;
    std::condition_variable wake;
    int error_number = 0;
    std::string error;
  };

  // Queues the request and returns once it is carried.
  int submit(Kind kind, char* buffer, uint64_t offset, uint64_t count, bool zeros_otherwise, std::string& error);
  // The carrying thread: every request in turn, until the destructor.
  void carry_all();
  // Hands `request` back to the thread waiting for it, which may then free it.
  void complete(Request& request);
  // Carries the read taken first and the reads queued behind it.
  void carry_reads(Request& first);
  // On the first session, taking in reads as they come.
  void stream_reads(Request& first);
  // `reads` shared out among every session that sees the writes.
  void share_reads(const std::vector<Request*>& reads);
  // Reads `ranges` on `client`, each into its destination.
  Transport::StatusCode read_on(TarveloFTPClient& client, const std::vector<TarveloFTPClient::HashRange>& ranges,
                                const std::vector<char*>& destinations);
  // Anything but a read.
  void carry_change(Request& request);
  // Data, or zeros for Kind::Zeros and Kind::Punch.
  void carry_write(Request& request);
  void carry_punch(Request& request);
  void carry_flush(Request& request);
  // Collects the server's write outcomes; false when the session failed.
  bool collect(Request& request);
  // Marks `request` failed because the session broke with `status`.
  void fail(Request& request, const std::string& what, const Transport::StatusCode& status);

  tools::Remote m_remote;
  // The first carries every change; all carry reads.
  std::vector<std::unique_ptr<TarveloFTPClient>> m_clients;
  long m_size = 0;
  uint32_t m_features = 0;

  // Only the carrying thread touches these (and finish(), once it is idle).
  uint64_t m_unacknowledged = 0;   // writes and punches sent since the last collection
  bool m_unseen = false;           // a change the other sessions may not see yet
  bool m_changed = false;          // something written since the last flush
  std::vector<std::string> m_failed_writes;  // found, not yet reported

  std::mutex m_mutex;
  std::condition_variable m_queued;  // a request waits, or the destructor stops the carrier
  std::deque<Request*> m_waiting;
  bool m_stopping = false;
  std::thread m_carrier;
};

}  // namespace tarvelo::nbd
