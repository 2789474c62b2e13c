// ServerMessageHandler::handle_message in direct mode: sequences of requests
// on an open session, with and without acknowledgements, session ids and
// authentication.

#include "HandlerFuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarvelo::fuzz::run_handler_sequence(data, size, false);
}
