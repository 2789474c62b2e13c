// ServerMessageHandler::handle_message in block-hashing mode: deferred
// writes and hole punches, reads through the overlay, aggregate hashes and
// commits; afterwards every stored hash must match the image.

#include "HandlerFuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvelo::fuzz::run_handler_sequence(data, size, true);
}
