#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <tarvelo/Message.h>
#include <tarveloftp/Export.h>
#include <tarveloftp/Protocol.h>

namespace tarvelo {

namespace config {
class Endpoints;
class Lun;
}  // namespace config
namespace detail {
class HoleFinder;
}  // namespace detail

class ImageHashState;

// What the client slot does with a handled message.
struct TARVELOFTP_EXPORT ServerMessageHandlerResponse {
  bool send_response = true;
  bool close_after_send = false;
  // Non-empty when the connection is unusable: logged, and closed after the
  // response (if any) is sent.
  std::string error;
  Message message;
};

// The protocol state machine of one server connection. A handler is used by
// one thread at a time, its connection's, which need not be the loop thread;
// what it shares with connections on the same image, the block-hash state,
// is used only under that state's lock.
class TARVELOFTP_EXPORT ServerMessageHandler {
 public:
  // At most this many write outcomes wait for COMMAND_WRITE_ACKNOWLEDGE; the
  // oldest are dropped first.
  static constexpr std::size_t MAX_WRITE_ACKNOWLEDGEMENTS = wire::kMaxAcknowledgeRecords;
  // Deferred operations are committed when this many are pending.
  static constexpr std::size_t MAX_DEFERRED_OPERATIONS = 200000;
  // Largest READ or direct HASH a client may ask for in one request: what
  // fits one message of the transport.
  static const long kMaxRequestLength;

  // The opened LUN of a connection; created by a successful handshake.
  struct TARVELOFTP_EXPORT ConnectionState {
    struct OperationData {
      OperationData(long offset, long length, std::unique_ptr<char[]> data,
                    tarvelo_protocol_command_t command)
          : offset(offset), length(length), data(std::move(data)), command(command) {}
      int64_t offset;
      int64_t length;
      std::unique_ptr<char[]> data;  // a write's bytes; empty for a hole punch
      tarvelo_protocol_command_t command;
    };

    // Counts a reference on the LUN named by `uid`; the destructor releases
    // it and syncs and closes the image.
    ConnectionState(config::Endpoints& endpoints, uint32_t session_id, tarvelo_protocol_uid_t uid,
                    uint64_t features, std::string target_name, std::string image_path);
    ~ConnectionState();
    ConnectionState(const ConnectionState&) = delete;
    ConnectionState& operator=(const ConnectionState&) = delete;

    // The LUN this connection opened, looked up again on every use: its
    // slot outlives any removal, and its counters are atomic.
    config::Lun& lun() const;
    // Names as they were at the handshake; the administration thread may
    // rewrite the table's strings meanwhile, so they are not read again.
    const std::string& image_path() const { return m_image_path; }
    const std::string& target_name() const { return m_target_name; }

    // Queues the outcome of a write, dropping the oldest beyond the limit.
    void queue_write_acknowledgement(int64_t offset, int64_t length,
                                     tarvelo_protocol_status_t status);

    config::Endpoints* endpoints;
    int fd = -1;
    tarvelo_protocol_uid_t uid;
    uint64_t features;
    int64_t file_size = 0;
    uint32_t session_id;
    bool pending_authenticate = true;
    std::deque<tarvelo_write_acknowledgement_t> write_acknowledgements;
    // The image's hash store and journal, shared with every connection on
    // the same file; set by a hash handshake, or by a direct change while the
    // hash file exists.
    std::shared_ptr<ImageHashState> image_hashes;
    bool block_hashing = false;
    std::list<OperationData> deferred_operations;
    int64_t deferred_bytes = 0;
    // The image's hash file exists but cannot be opened, so it vouches for
    // nothing: direct writes go ahead without marking its entries.
    bool hash_file_unusable = false;
    // The run of consecutive direct writes whose write-back has not been
    // started yet.
    int64_t unstarted_offset = 0;
    int64_t unstarted_length = 0;

   private:
    std::string m_target_name;
    std::string m_image_path;

   public:
    // The target was read-only at the handshake: the image is open
    // O_RDONLY, and writes and hole punches are refused.
    bool read_only = false;
  };

  explicit ServerMessageHandler(config::Endpoints& endpoints);
  ServerMessageHandler(ServerMessageHandler&& other) noexcept;
  ServerMessageHandler& operator=(ServerMessageHandler&& other) noexcept;
  ~ServerMessageHandler();

  // Handles one request; logs a non-empty error, marks the connection to be
  // closed and releases the LUN.
  ServerMessageHandlerResponse handle_message(Message message);
  ServerMessageHandlerResponse handle_message_core(Message message);
  // A request that handle_messages may take together with others like it:
  // a hash, whose answer is small.
  bool answers_together(const Message& message) const;
  // Handles requests received together, in order, exactly as handle_message
  // would one by one, and stops after a response that closes the
  // connection. Without block hashing, consecutive hashes of one length are
  // hashed side by side.
  std::vector<ServerMessageHandlerResponse> handle_messages(std::vector<Message> messages);
  // Commits what is deferred and releases the opened LUN, if any.
  int cleanup();

  static uint32_t get_session_id(const Message& message);
  uint32_t get_session_id() const;
  uint32_t getProtocolFeatures() const;
  void setMessageDebugLogging(bool enabled) { message_debug_logging = enabled; }
  void setBlockHashStorage(bool enabled) { block_hash_storage = enabled; }
  // Where hash files and journals are made; empty (the default): beside
  // each image. See BlockHashStore::hashFilePath.
  void setHashDirectory(const std::string& directory) { hash_directory = directory; }
  const std::string& hashDirectory() const { return hash_directory; }
  void setOnWriteCallback(std::function<void(unsigned long)> callback) { on_write = std::move(callback); }
  void setOnReadCallback(std::function<void(unsigned long)> callback) { on_read = std::move(callback); }
  void setOnHashRequestCallback(std::function<void(unsigned long)> callback) {
    on_hash_request = std::move(callback);
  }
  static long seek(int fd, long offset, int whence);

  // Direct data commands.
  ServerMessageHandlerResponse default_command_read(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse default_command_write(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse default_command_hole_punch(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse default_command_hash(const Message& request, ServerMessageHandlerResponse& response);
  bool operation_write_handler(long offset, long length, char* data);
  bool operation_hole_punch_handler(long offset, long length);

  // Block-hashing mode.
  bool setupBlockHashing(std::shared_ptr<ConnectionState> state, tarvelo_protocol_message_t* request,
                         ServerMessageHandlerResponse& response, const std::string& targetName,
                         const std::string& imagePath, long partitionOffset);
  ServerMessageHandlerResponse block_hashing_with_deferred_writes_command_read(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse block_hashing_with_deferred_writes_command_write(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse block_hashing_with_deferred_writes_command_hole_punch(const Message& request, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse block_hashing_command_hash(const Message& request, ServerMessageHandlerResponse& response);
  void add_deferred_operation(long offset, long length, std::unique_ptr<char[]> data,
                              tarvelo_protocol_command_t command);
  long apply_deferred_operations(long offset, long length, char* buffer) const;
  std::vector<std::unique_ptr<char[]>> onDataRequired(const std::vector<long>& offsets,
                                                      const std::vector<long>& lengths) const;
  std::vector<std::tuple<long, long>> get_transaction_group() const;
  void commit_deferred_operations();

  // Read-only views for tests and programs.
  const std::shared_ptr<ConnectionState>& connection_state() const { return state; }
  bool isBlockHashStorageEnabled() const { return block_hash_storage; }

 private:
  ServerMessageHandlerResponse handshake(const Message& message, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse authenticate(const Message& message, ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse close_command(ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse write_acknowledge(ServerMessageHandlerResponse& response);
  ServerMessageHandlerResponse hash_handshake(const Message& message, ServerMessageHandlerResponse& response);
  // A response message of `size` bytes with the command and the uid filled;
  // without `zero_data` only the header is zeroed, for a caller that fills
  // the rest itself.
  Message new_response(tarvelo_protocol_command_t command, long size, bool zero_data = true) const;
  // Before a direct write or hole punch on a server that keeps block hashes:
  // marks the stored hashes of the range not valid and hands over the
  // image's lock in `held`, to keep until the change is made; false, with
  // `failure` set, when that cannot be done (the change must then not be
  // made).
  bool invalidate_stored_hashes(long offset, long length, std::string* failure,
                                std::unique_lock<std::mutex>& held);
  // Hashes the image ranges of the run of hash requests of one length that
  // starts at messages[first], side by side, for default_command_hash to
  // answer from; ranges that are holes (found through `holes`, which the
  // runs of one batch share) get the digest of zeros. Returns where the run
  // ends.
  std::size_t hash_requests_together(const std::vector<Message>& messages, std::size_t first,
                                     detail::HoleFinder& holes);
  // Answers a WRITE or HOLE_PUNCH on a read-only connection with the
  // failure a change that cannot be made gets.
  ServerMessageHandlerResponse refuse_change(const Message& request, ServerMessageHandlerResponse& response);

  config::Endpoints& endpoints;
  std::shared_ptr<ConnectionState> state;
  bool message_debug_logging = false;
  bool block_hash_storage = false;
  std::function<void(unsigned long)> on_write;
  std::function<void(unsigned long)> on_read;
  std::function<void(unsigned long)> on_hash_request;
  int64_t deferred_commit_bytes = 26214400;
  // Digests made by hash_requests_together, by (offset, length); each is
  // used once, and none outlives handle_messages.
  struct PrecomputedHash {
    std::array<unsigned char, 32> digest;
    long read;  // bytes read from the image; none for a hole
  };
  std::map<std::pair<long, long>, PrecomputedHash> precomputed_hashes;
  std::string hash_directory;
};

}  // namespace tarvelo
