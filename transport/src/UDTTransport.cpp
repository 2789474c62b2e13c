#include <tarvelo/UDTTransport.h>

#include <dlfcn.h>

#include <string>

#include "UdtModule.h"

namespace tarvelo {
namespace detail {
namespace {

struct LoadedModule {
  const UdtModule* module = nullptr;
  std::string problem;  // why it is not there
};

// Next to this library, found through one of its own functions; kept loaded
// for the rest of the process, since io_contexts hold its services.
LoadedModule load_module() {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&load_module), &self) == 0 || self.dli_fname == nullptr)
    return {nullptr, "the transport library could not find its own folder"};
  std::string path = self.dli_fname;
  path = path.substr(0, path.find_last_of('/') + 1) + kUdtModulePath;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) return {nullptr, ::dlerror()};
  auto entry = reinterpret_cast<const UdtModule* (*)()>(::dlsym(handle, kUdtModuleSymbol));
  if (entry == nullptr) return {nullptr, path + " lacks " + kUdtModuleSymbol};
  return {entry(), {}};
}

const LoadedModule& loaded_module() {
  static const LoadedModule loaded = load_module();
  return loaded;
}

std::string unavailable() { return "the udt transport is not available: " + loaded_module().problem; }

// Stands in for a stream or listener when the module cannot be loaded: every
// connect and listen fails, and says why.
class UnavailableStream : public Stream {
 public:
  explicit UnavailableStream(asio::io_context& io) : m_io(io) {}
  void async_read(asio::mutable_buffer, IoHandler handler) override { fail(std::move(handler)); }
  void async_read_some(asio::mutable_buffer, IoHandler handler) override { fail(std::move(handler)); }
  void async_write(const Buffers&, IoHandler handler) override { fail(std::move(handler)); }
  void read(asio::mutable_buffer, asio::error_code& error) override { error = asio::error::bad_descriptor; }
  std::size_t read_some(asio::mutable_buffer, asio::error_code& error) override {
    error = asio::error::bad_descriptor;
    return 0;
  }
  void write(const Buffers&, asio::error_code& error) override { error = asio::error::bad_descriptor; }
  bool wait_readable(int) override { return true; }
  void connect(const std::string&, uint16_t, asio::error_code& error) override {
    error = asio::error::operation_not_supported;
  }
  void close() override {}
  std::string error_detail() const override { return unavailable(); }

 private:
  void fail(IoHandler handler) {
    asio::post(m_io, [handler = std::move(handler)] { handler(asio::error::bad_descriptor, 0); });
  }
  asio::io_context& m_io;
};

class UnavailableAcceptor : public Acceptor {
 public:
  explicit UnavailableAcceptor(asio::io_context& io) : m_io(io) {}
  void listen(const std::string&, uint16_t, asio::error_code& error) override {
    error = asio::error::operation_not_supported;
  }
  void async_accept(std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) override {
    asio::post(m_io, [handler = std::move(handler)] { handler(asio::error::operation_aborted, nullptr); });
  }
  void close() override {}
  std::string error_detail() const override { return unavailable(); }

 private:
  asio::io_context& m_io;
};

}  // namespace
}  // namespace detail

std::unique_ptr<detail::Stream> UDTTransport::create_stream(asio::io_context& io) {
  const detail::UdtModule* module = detail::loaded_module().module;
  if (module == nullptr) return std::make_unique<detail::UnavailableStream>(io);
  return module->create_stream(io);
}

std::unique_ptr<detail::Acceptor> UDTTransport::create_acceptor(asio::io_context& io) {
  const detail::UdtModule* module = detail::loaded_module().module;
  if (module == nullptr) return std::make_unique<detail::UnavailableAcceptor>(io);
  return module->create_acceptor(io);
}

std::unique_ptr<Transport> UDTTransport::clone() const { return std::make_unique<UDTTransport>(); }

}  // namespace tarvelo
