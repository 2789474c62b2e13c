// Applies deferred writes and hole punches as one journalled transaction
// group. The order of the steps is what makes a crash at any point
// repairable: journal on disk before the image changes, image synced before
// the hash file, journal completed only after both.

#include <tarveloftp/ServerMessageHandler.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Logger.h>
#include <tarveloftp/TarveloJournal.h>

#include "ImageHashState.h"

namespace tarvelo {

namespace {

struct EntryStatus {
  int64_t offset;
  int64_t length;
  tarvelo_protocol_status_t status = STATUS_EIO;
  bool applied = false;
  bool hashed = false;
};

std::string items(std::size_t count) {
  return std::to_string(count) + (count >= 2 ? " items" : " item");
}

// Largest piece of zeros a hole punch's hashes are updated with at once, so
// that punching a terabyte does not allocate one.
constexpr long kZeroChunk = 4 * 1024 * 1024;

// Updates the hashes of a punched range from a bounded buffer of zeros,
// cutting it at block boundaries so that the result is the one a single
// update over the whole range would give.
void update_hashes_of_zeros(BlockHashStore& store, long offset, long length) {
  static const std::vector<char> zeros(kZeroChunk, 0);
  const long block = store.getBlockSize();
  const long partition = store.getPartitionOffset();
  while (length > 0) {
    long piece = std::min(length, kZeroChunk);
    if (piece < length) {
      // End the piece on a block boundary of the hash file.
      long end = offset + piece;
      long aligned = end - (((end - partition) % block) + block) % block;
      if (aligned > offset) piece = aligned - offset;
    }
    store.update_hashes(offset, const_cast<char*>(zeros.data()), piece);
    offset += piece;
    length -= piece;
  }
}

}  // namespace

std::vector<std::tuple<long, long>> ServerMessageHandler::get_transaction_group() const {
  std::vector<std::tuple<long, long>> group;
  group.reserve(state->deferred_operations.size());
  for (const auto& operation : state->deferred_operations) group.emplace_back(operation.offset, operation.length);
  return group;
}

void ServerMessageHandler::commit_deferred_operations() {
  if (!state || (state->features & CLIENT_WRITE_ACKNOWLEDGEMENT) == 0 ||
      state->deferred_operations.empty())
    return;
  const std::string& path = state->image_path();
  const std::size_t count = state->deferred_operations.size();
  // Held for the whole group: other connections on the image commit,
  // hash and defer work through the same store and journal, and each
  // commit's steps must stay in their order.
  ImageHashState& hashes = *state->image_hashes;
  std::lock_guard lock(hashes.mutex);

  bool in_transaction = true;
  try {
    hashes.journal->startTransactionGroup(get_transaction_group());
  } catch (const std::exception& error) {
    TLOG(ERROR) << "Error starting hash transaction for transaction group of " << items(count)
                << " for " << path << ", " << error.what();
    in_transaction = false;
  }

  std::vector<EntryStatus> records;
  records.reserve(count);
  for (auto& operation : state->deferred_operations) {
    EntryStatus record{operation.offset, operation.length};
    bool done = false;
    if (!in_transaction) {
      TLOG(ERROR) << "Error not in transaction for operation to offset/length " << operation.offset
                  << "/" << operation.length << " in file " << path;
    } else if (operation.command == COMMAND_WRITE) {
      done = operation_write_handler(operation.offset, operation.length, operation.data.get());
    } else if (operation.command == COMMAND_HOLE_PUNCH) {
      done = operation_hole_punch_handler(operation.offset, operation.length);
    } else {
      TLOG(ERROR) << "Error processing command " << static_cast<char>(operation.command)
                  << " for file " << path;
    }
    if (done) {
      record.applied = true;
      state->lun().increment_write_op_count();
      try {
        if (operation.command == COMMAND_WRITE)
          hashes.store->update_hashes(operation.offset, operation.data.get(), operation.length);
        else
          update_hashes_of_zeros(*hashes.store, operation.offset, operation.length);
        record.hashed = true;
        record.status = STATUS_SUCCESS;
      } catch (const std::exception& error) {
        TLOG(ERROR) << "Updating hashes at offset " << operation.offset << ", length = "
                    << operation.length << " failed while committing transactions, error = "
                    << error.what();
      }
    }
    records.push_back(record);
  }
  state->deferred_operations.clear();
  state->deferred_bytes = 0;

  bool image_synced = fsync(state->fd) == 0;
  bool hashes_synced = hashes.store->sync_to_disk();
  bool synced = image_synced && hashes_synced;

  std::vector<std::tuple<long, long>> settled;
  for (const EntryStatus& record : records)
    if (!record.applied || (record.hashed && synced)) settled.emplace_back(record.offset, record.length);
  bool completed = true;
  try {
    hashes.journal->completeTransactionGroup(settled);
  } catch (const std::exception& error) {
    TLOG(ERROR) << "Error completing transaction for transaction group of " << items(count) << " for "
                << path << ", " << error.what();
    completed = false;
  }

  std::size_t successful = 0;
  int64_t bytes = 0;
  int64_t lowest = records.empty() ? 0 : records.front().offset;
  int64_t highest = 0;
  for (EntryStatus& record : records) {
    if (!(synced && completed) && record.applied) record.status = STATUS_EIO;
    state->queue_write_acknowledgement(record.offset, record.length, record.status);
    if (record.status == STATUS_SUCCESS) ++successful;
    bytes += record.length;
    lowest = std::min(lowest, record.offset);
    highest = std::max(highest, record.offset + record.length);
  }
  if (message_debug_logging)
    TLOG(DEBUG) << "committed deferred operations:  successful: " << successful << "/" << records.size()
                << ", bytes processed: " << bytes << ", offset bounds: [" << lowest << "," << highest
                << "]" << ", image sync: " << image_synced << ", hash sync: " << hashes_synced
                << ", transaction completed: " << completed;
}

}  // namespace tarvelo
