#pragma once

// The status values a BasicSocket reports, made in one place so that every
// path says the same thing for the same failure. Internal to the transport
// library.

#include <cstdint>
#include <string>

#include <asio.hpp>

#include <tarvelo/Transport.h>

namespace tarvelo::detail {

inline Transport::StatusCode success(std::string text) { return {std::move(text), 0}; }

inline Transport::StatusCode failure(const asio::error_code& error, const char* what) {
  if (error == asio::error::eof || error == asio::error::connection_reset ||
      error == asio::error::broken_pipe)
    return {std::string(what) + ": connection closed by peer", Transport::kClosed};
  if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor)
    return {std::string(what) + ": connection closed", Transport::kClosed};
  return {std::string(what) + ": " + error.message(), Transport::kError};
}

inline Transport::StatusCode closed_status(const char* what) {
  return {std::string(what) + ": connection closed", Transport::kClosed};
}

inline Transport::StatusCode frame_too_large(uint64_t length, std::size_t maximum) {
  return {"Frame of " + std::to_string(length) + " bytes exceeds the maximum of " +
              std::to_string(maximum),
          Transport::kFrameTooLarge};
}

}  // namespace tarvelo::detail
