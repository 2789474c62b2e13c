#pragma once

// Client side of the protocol: one LUN of one target on a remote server,
// used like a file. Every operation is a blocking exchange on the caller's
// thread; the client never logs and reads no environment.
//
// Threading: a client is used by one thread at a time and takes no lock.
// The exception is get_block_hash_local_at(), which touches no connection
// state and may run on another thread while the client is in use (but not
// while open() runs).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <tarvelo/Message.h>
#include <tarvelo/SocketImpl.h>
#include <tarvelo/Transport.h>
#include <tarveloftp/Export.h>
#include <tarveloftp/FileSystem.h>
#include <tarveloftp/IHashFunction.h>
#include <tarveloftp/Protocol.h>

namespace tarvelo {

class TARVELOFTP_EXPORT TarveloFTPClient {
 public:
  // Status codes the client fills in itself; the transport's own negative
  // codes are passed on unchanged.
  static constexpr int64_t kProtocolError = -1;      // wrong command byte, malformed reply, bad hash id
  static constexpr int64_t kOutOfBounds = -15;       // out of range, unusable block size, local hash failure
  static constexpr int64_t kRefused = -22;           // handshake, authentication or close refused
  static constexpr int64_t kClientClosed = -23;      // no usable session
  static constexpr int64_t kNotAvailable = -25;      // feature not offered, hole punch refused
  static constexpr int64_t kNoResponse = -28;        // no reply without a transport error; read refused

  // Largest data length of one READ, WRITE or HASH request: a READ reply or
  // a WRITE request carries it behind the 32-byte front and must fit in one
  // transport frame. Longer reads are split; longer writes are refused.
  static constexpr long kMaxRequestLength = static_cast<long>(kMaxMessageSize) - 32;
  // Largest hash block size a server may announce (the client allocates it).
  static constexpr long kMaxBlockSize = 65536;
  // HASH requests in flight at once in get_block_hashes_remote(). Their
  // replies (72 bytes each on the wire, 288 KiB for all) are far below what
  // the server queues for a connection before it stops reading it, so it
  // never waits for us to read while we still send. At 256 a thin image's
  // get waited for the server eight times per thousand hashes.
  static constexpr std::size_t kHashPipelineDepth = 4096;

  // One range of the remote image, in absolute image offsets.
  struct HashRange {
    long offset = 0;
    long length = 0;
  };

  // Stores the arguments; sends nothing. Only the low 8 bits of `lun` count.
  TarveloFTPClient(std::unique_ptr<SocketImpl> socket, const std::string& address,
                   unsigned short port, const std::string& target, unsigned long lun,
                   unsigned long flags, const std::string& password, long partition_offset);
  // Closes the session if the client still holds a socket.
  virtual ~TarveloFTPClient();

  TarveloFTPClient(const TarveloFTPClient&) = delete;
  TarveloFTPClient& operator=(const TarveloFTPClient&) = delete;
  // Member-wise; the source is left without socket, hash function or buffer.
  TarveloFTPClient(TarveloFTPClient&& other) noexcept;
  TarveloFTPClient& operator=(TarveloFTPClient&& other) noexcept;

  // Connect, COMMAND_HANDSHAKE, optional COMMAND_AUTHENTICATE (when a
  // passphrase is set and the server offers it), optional
  // COMMAND_HASH_HANDSHAKE (when the server has block-hash storage).
  [[nodiscard]] virtual Transport::StatusCode open();
  // New position, or -1 with errno set; sends nothing.
  virtual long seek(long offset, tarvelo_seek_dir_t whence);
  // Reads at the position; clamped at the end of the image (0 there), -1 on
  // failure. Counts above kMaxRequestLength are read in several exchanges.
  // The bytes arrive straight in `buffer`, so a failed read may have
  // changed the part of it that was asked for, never more.
  virtual long read(void* buffer, long count, Transport::StatusCode* status);
  // Sends a COMMAND_WRITE at the position without waiting (its outcome comes
  // through write_acknowledgement()). With differential merge on, data the
  // remote range already holds are not sent (*sent stays false).
  virtual long write(void* data, long count, bool* sent, Transport::StatusCode* status);
  // Writes `length` bytes into `buffer`; false cancels the write.
  using WriteSource = std::function<bool(char* buffer, long length)>;
  // As write() without differential merge, for data that `fill` produces
  // straight into the request (the clamped count is passed to it), which
  // saves copying them once more.
  long write_from(long count, const WriteSource& fill, Transport::StatusCode* status);
  // As write_from for data already in memory: sent from where they are,
  // without copying them into a request, when the connection has no
  // compression or encryption.
  long write_in_place(const void* data, long count, Transport::StatusCode* status);
  [[nodiscard]] virtual Transport::StatusCode hole_punch(long length);
  // Punches a hole in each range (in image offsets, like HashRange) with up
  // to `depth` requests unanswered, so many holes cost about one round trip
  // rather than one each. The position does not move. Ranges the server
  // refuses, as hole_punch() reports with kNotAvailable, are added to
  // `refused`. Against block-hash storage punches are deferred and their
  // outcomes come as acknowledgements, as with hole_punch(). Failures close
  // the connection as in get_block_hashes_remote().
  Transport::StatusCode hole_punch_ranges(const std::vector<HashRange>& ranges, std::size_t depth,
                                          std::vector<HashRange>& refused);
  // Whether the range at the position already holds `data` (hash compare).
  virtual bool compare(void* data, long length, Transport::StatusCode* status);
  // Every write outcome queued on the server since the last call, oldest first.
  virtual std::vector<tarvelo_write_acknowledgement_t> write_acknowledgement(
      bool& has_failures, Transport::StatusCode* status);
  virtual long tell() const;
  virtual long size() const;
  [[nodiscard]] virtual Transport::StatusCode close();
  virtual void set_differential_merge(bool enabled);
  virtual bool get_differential_merge() const;
  // Takes effect at the next open().
  virtual void set_password(std::string password);
  virtual std::string get_password() const;
  // The hash the server would report for `length` bytes at the position,
  // computed from `data`: plain, or aggregate against block-hash storage.
  virtual std::vector<unsigned char> get_block_hash_local(void* data, long length,
                                                          Transport::StatusCode* status);
  // The server's hash of `length` bytes at the position.
  virtual std::vector<unsigned char> get_block_hash_remote(long length,
                                                           Transport::StatusCode* status);

  std::vector<unsigned char> get_default_block_hash_local(void* data, long length,
                                                          Transport::StatusCode* status) const;
  std::vector<unsigned char> get_aggregate_block_hash_local(void* data, long length,
                                                            Transport::StatusCode* status) const;
  std::vector<unsigned char> get_default_block_hash_remote(long length,
                                                           Transport::StatusCode* status) const;
  std::vector<unsigned char> get_aggregate_block_hash_remote(long length,
                                                             Transport::StatusCode* status) const;

  // As get_block_hash_local() for a range at an explicit image offset,
  // without clamping and without the shared block buffer, so that it can
  // run beside the client's exchanges on another thread.
  std::vector<unsigned char> get_block_hash_local_at(long offset, const void* data, long length,
                                                     Transport::StatusCode* status) const;
  // get_default_block_hash_local() of each of `count` pieces of `length`
  // bytes laid one after the other at `data`, back to back; several are
  // hashed side by side where the processor allows. Thread-safe like
  // get_block_hash_local_at().
  std::vector<unsigned char> get_default_block_hashes_local(const void* data, long length, long count,
                                                            Transport::StatusCode* status) const;
  // Against block-hash storage: the hashes of the blocks the range touches,
  // back to back, each taken as the server takes it (bytes outside the range
  // as zeros). The aggregate hash of any run of whole blocks is then the
  // plain hash (get_default_block_hash_local) of its slice of this list, so
  // a caller narrowing a differing range need not hash its data again.
  // Thread-safe like get_block_hash_local_at().
  std::vector<unsigned char> get_block_hashes_local_at(long offset, const void* data, long length,
                                                       Transport::StatusCode* status) const;
  // The server's hashes of many ranges, requested in a pipeline of up to
  // kHashPipelineDepth requests in flight and answered in order. Returns
  // ranges.size() hashes of hash_size() bytes each, back to back, or empty
  // on failure. A reply that breaks the order leaves the connection useless,
  // so the client then closes it.
  std::vector<unsigned char> get_block_hashes_remote(const std::vector<HashRange>& ranges,
                                                     Transport::StatusCode* status);
  // Receives one range's bytes; false (or an exception, which is passed
  // on) stops the transfer and, since replies are still in flight, closes
  // the connection.
  using ReadSink = std::function<bool(long offset, const char* data, long length)>;
  // Reads many ranges with up to `depth` READ requests in flight, handing
  // each range's bytes to `sink` in order, straight from the reply. Each
  // range must lie in the image and hold at most kMaxRequestLength bytes.
  // The position does not move. Failures close the connection as in
  // get_block_hashes_remote().
  Transport::StatusCode read_ranges(const std::vector<HashRange>& ranges, std::size_t depth,
                                    const ReadSink& sink);
  // Hands out the next range to read, and where its bytes should arrive
  // (left null: anywhere), or false when it has none for now.
  using RangeSource = std::function<bool(HashRange& range, char*& destination)>;
  // As read_ranges() for ranges that come as they are asked for: `next` is
  // asked again whenever a reply makes room, so ranges that turn up while
  // others are in flight join the pipeline. Returns once nothing is in
  // flight and `next` has none. A range outside the image fails the reads.
  // The bytes of a range given a destination are received straight into
  // it where the connection allows, and `sink` is then handed that
  // destination; it must stay valid until `sink` has it.
  Transport::StatusCode read_stream(std::size_t depth, const RangeSource& next, const ReadSink& sink);

  bool supports_handshake_session_id() const;
  static bool message_requires_response(const Message& message);

  // What the last handshake reported, for programs that describe the server.
  uint32_t server_features() const { return m_server_features; }
  uint32_t server_id() const { return m_server_id; }
  // Status byte of the last handshake reply (STATUS_INVALID before one).
  tarvelo_protocol_status_t handshake_status() const { return m_handshake_status; }
  long block_size() const { return static_cast<long>(m_block_size); }
  // Digest size of the local hash function; 0 when there is none.
  std::size_t hash_size() const;
  bool is_closed() const { return m_closed; }

 private:
  // Sends `request` and receives its reply; a null message on failure with
  // `status` set (`missing_text`, code -28, when no reply came without a
  // transport error). Checks the echoed command and the reply's minimum size.
  // With a `placement`, the reply is received as by SocketImpl::receive_placed().
  Message exchange(Message& request, tarvelo_protocol_command_t command,
                   std::size_t minimum_reply_size, Transport::StatusCode* status,
                   const char* missing_text = nullptr, const SocketImpl::Placement* placement = nullptr,
                   bool* placed = nullptr) const;
  Message new_request(tarvelo_protocol_command_t command, std::size_t size) const;
  // Writes the command and the session's identifiers into a request's header.
  void stamp(char* header, tarvelo_protocol_command_t command) const;
  Transport::StatusCode open_session();
  long read_once(char* buffer, long count, Transport::StatusCode* status);
  // The count a write may send (-1 or 0 with `status` set when none).
  long clamp_write(long count, Transport::StatusCode* status);
  long send_write(long n, const WriteSource& fill, bool* sent, Transport::StatusCode* status);
  long send_in_place(long n, const void* data, bool* sent, Transport::StatusCode* status);
  // The first kWriteData bytes of a WRITE of `n` bytes at the position.
  void write_front(char* front, long n) const;
  // A WRITE's outcome once sent: `status` set, and on success *sent and the
  // position moved past it; the count, or -1.
  long sent_write(Transport::StatusCode send_status, long n, bool* sent, Transport::StatusCode* status);
  // True once a hash handshake with a server that keeps block hashes set
  // up a usable block size. Such a server answers a hash of any length from
  // stored hashes; others read the range, which must fit one request.
  bool stored_block_hashes() const;
  std::vector<unsigned char> remote_hash(long offset, long length,
                                         Transport::StatusCode* status) const;
  std::vector<unsigned char> aggregate_hash(long offset, const void* data, long length,
                                            unsigned char* block_buffer,
                                            Transport::StatusCode* status) const;
  // The concatenated block hashes aggregate_hash() hashes.
  std::vector<unsigned char> block_hashes(long offset, const void* data, long length,
                                          unsigned char* block_buffer, Transport::StatusCode* status) const;
  bool old_server_lacks(uint32_t feature) const;
  // Whether a READ of `range` lies in the image and fits one request.
  bool readable(const HashRange& range) const;
  static Transport::StatusCode out_of_bounds(const HashRange& range);
  using ReplyCheck = std::function<bool(std::size_t, const Message&, Transport::StatusCode&)>;
  // Sends request i = 0 .. count-1 (from `make_request`, all of `command`)
  // with at most `depth` unanswered, and hands reply i to `on_reply`, which
  // checks it and returns false with `failure` set to stop. Closes the
  // connection when a failure leaves replies in flight.
  Transport::StatusCode pipeline(tarvelo_protocol_command_t command, std::size_t count, std::size_t depth,
                                 const std::function<Message(std::size_t)>& make_request,
                                 const ReplyCheck& on_reply);
  // As pipeline() for requests that come as they are asked for: `produce`
  // makes request i and where its reply's bytes past a head go (a
  // placement with a null tail: nowhere in particular), or returns false
  // when it has none for now (or sets `failure` to stop). Ends once nothing
  // is in flight and it has none. `on_reply` learns whether the reply was
  // placed.
  Transport::StatusCode stream(
      tarvelo_protocol_command_t command, std::size_t depth,
      const std::function<bool(std::size_t, Message&, SocketImpl::Placement&, Transport::StatusCode&)>& produce,
      const std::function<bool(std::size_t, const Message&, bool, Transport::StatusCode&)>& on_reply);
  void release();

  std::unique_ptr<SocketImpl> m_socket;
  std::string m_address;
  uint16_t m_port = 0;
  std::string m_target;
  tarvelo_protocol_uid_t m_uid;
  uint64_t m_flags = 0;
  uint32_t m_server_features = 0;
  uint32_t m_server_id = 0;
  FileSystem::File m_file;
  std::string m_password;
  uint32_t m_session_id = 0;
  bool m_closed = false;
  int64_t m_block_size = 4096;
  std::unique_ptr<IHashFunction> m_hash_function;
  std::unique_ptr<unsigned char[]> m_block_buffer;
  int64_t m_partition_offset = 0;
  tarvelo_protocol_status_t m_handshake_status = STATUS_INVALID;
};

}  // namespace tarvelo
