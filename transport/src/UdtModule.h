#pragma once

// The UDT transport lives in a module of its own that the transport library
// loads on first use: UDT's library spends a tenth of a second measuring
// the CPU's clock when it is loaded, which every program would otherwise
// pay at start whether it speaks UDT or not. Internal to the transport
// library and its udt module.

#include <memory>

#include "Stream.h"

namespace tarvelo::detail {

// The module, relative to the folder of the transport library that loads it.
inline constexpr const char* kUdtModulePath = "tarveloftp/transport-udt.so";
// Its one exported symbol: extern "C" const UdtModule* tarvelo_udt_module().
inline constexpr const char* kUdtModuleSymbol = "tarvelo_udt_module";

struct UdtModule {
  std::unique_ptr<Stream> (*create_stream)(asio::io_context& io);
  std::unique_ptr<Acceptor> (*create_acceptor)(asio::io_context& io);
};

}  // namespace tarvelo::detail
