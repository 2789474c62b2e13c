// The nbdkit plugin "tarvelo": serves one remote LUN over NBD, so that
// qemu-img, QEMU, nbdcopy, nbdfuse or the kernel's nbd-client can use it.
//
//   nbdkit tarvelo url=tarvelo://HOST[:PORT]/TARGET/LUN [passphrase-file=FILE]
//          [transport=tcp|tls|udt] [tls=yes [ca-file=FILE | insecure=yes]] [compression=lz4]
//          [server-public-key=KEY] [timeout=SECONDS] [connections=N] [readonly=yes]
//
// The settings are those of the tarveloftp program, checked by the same
// code. Each NBD connection opens its own session; requests of different
// connections run in parallel.

#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <tarveloftp_version.h>

#include "LunConnection.h"
#include "RemoteChoices.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

using tarvelo::nbd::LunConnection;

tarvelo::tools::RemoteChoices choices;
bool read_only_export = false;
int sessions = 1;
// Made from the choices once they are complete.
std::optional<tarvelo::tools::Remote> remote;

struct Handle {
  std::unique_ptr<LunConnection> connection;
  bool read_only = false;
};

Handle& handle_of(void* handle) { return *static_cast<Handle*>(handle); }

// yes/no as nbdkit takes them (1, true, on...); -1 after reporting.
int parse_flag(const char* value, bool& flag) {
  int parsed = nbdkit_parse_bool(value);
  if (parsed < 0) return -1;
  flag = parsed == 1;
  return 0;
}

int tarvelo_config(const char* key, const char* value) {
  std::string name = key;
  try {
    if (name == "url") {
      choices.url = value;
    } else if (name == "passphrase-file") {
      choices.passphrase_file = value;
    } else if (name == "transport") {
      choices.transport = value;
    } else if (name == "tls") {
      return parse_flag(value, choices.tls);
    } else if (name == "ca-file") {
      choices.ca_file = value;
    } else if (name == "insecure") {
      return parse_flag(value, choices.insecure);
    } else if (name == "compression") {
      choices.compression = value;
    } else if (name == "server-public-key") {
      choices.server_public_key = value;
    } else if (name == "timeout") {
      std::size_t end = 0;
      choices.timeout = std::stod(value, &end);
      if (end != std::string(value).size()) throw std::invalid_argument("");
    } else if (name == "connections") {
      if (nbdkit_parse_int("connections", value, &sessions) < 0) return -1;
      if (sessions < 1 || sessions > 64) {
        nbdkit_error("connections must be between 1 and 64");
        return -1;
      }
    } else if (name == "readonly") {
      return parse_flag(value, read_only_export);
    } else {
      nbdkit_error("unknown parameter '%s'", key);
      return -1;
    }
  } catch (const std::exception&) {
    nbdkit_error("%s: not a number: %s", key, value);
    return -1;
  }
  return 0;
}

int tarvelo_config_complete() {
  if (choices.url.empty()) {
    nbdkit_error("the url parameter is missing: url=tarvelo://HOST[:PORT]/TARGET/LUN");
    return -1;
  }
  try {
    const char* environment = std::getenv("TARVELOFTP_PASSPHRASE");
    remote = tarvelo::tools::make_remote(
        choices, environment ? std::optional<std::string>(environment) : std::nullopt, "");
  } catch (const std::exception& error) {
    nbdkit_error("%s", error.what());
    return -1;
  }
  if (choices.insecure)
    nbdkit_debug("insecure: the server's TLS certificate is not verified");
  return 0;
}

void* tarvelo_open(int readonly) {
  try {
    auto handle = std::make_unique<Handle>();
    handle->connection = std::make_unique<LunConnection>(*remote, sessions);
    handle->read_only = readonly != 0 || read_only_export;
    return handle.release();
  } catch (const std::exception& error) {
    nbdkit_error("%s", error.what());
    return nullptr;
  }
}

// The client is gone and cannot be told; failed writes it never flushed
// are logged at least.
void tarvelo_close(void* handle) {
  std::unique_ptr<Handle> closing(static_cast<Handle*>(handle));
  std::string unreported = closing->connection->finish();
  if (!unreported.empty()) nbdkit_error("when the connection closed: %s", unreported.c_str());
}

int64_t tarvelo_get_size(void* handle) { return handle_of(handle).connection->size(); }

int tarvelo_can_write(void* handle) { return handle_of(handle).read_only ? 0 : 1; }

int tarvelo_can_flush(void* handle) { return handle_of(handle).read_only ? 0 : 1; }

int tarvelo_can_trim(void* handle) {
  Handle& h = handle_of(handle);
  return !h.read_only && h.connection->can_punch() ? 1 : 0;
}

int tarvelo_can_zero(void* handle) { return handle_of(handle).read_only ? 0 : 1; }

// A FUA write is a write and a flush, which is what nbdkit makes of it.
int tarvelo_can_fua(void* handle) { return handle_of(handle).read_only ? NBDKIT_FUA_NONE : NBDKIT_FUA_EMULATE; }

// Each connection's writes stay in its own session until a flush: another
// connection may not see them yet, and its flush does not cover them. So
// only a read-only export may be used over several connections at once.
int tarvelo_can_multi_conn(void* handle) { return handle_of(handle).read_only ? 1 : 0; }

int tarvelo_block_size(void*, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum) {
  *minimum = 1;
  *preferred = 4096;
  *maximum = 0xffffffff;
  return 0;
}

// Runs one request on the handle's connection and reports a failure the
// way nbdkit expects; nothing may be thrown back into nbdkit.
template <typename Call>
int carried(void* handle, Call call) {
  std::string error;
  int error_number = 0;
  try {
    error_number = call(*handle_of(handle).connection, error);
  } catch (const std::exception& thrown) {
    error_number = EIO;
    error = thrown.what();
  }
  if (error_number == 0) return 0;
  nbdkit_error("%s", error.c_str());
  nbdkit_set_error(error_number);
  return -1;
}

int tarvelo_pread(void* handle, void* buffer, uint32_t count, uint64_t offset, uint32_t) {
  return carried(handle, [&](LunConnection& c, std::string& error) { return c.read(buffer, count, offset, error); });
}

int tarvelo_pwrite(void* handle, const void* buffer, uint32_t count, uint64_t offset, uint32_t) {
  return carried(handle, [&](LunConnection& c, std::string& error) { return c.write(buffer, count, offset, error); });
}

// A trim is a hint: where the server cannot punch, nothing is done.
int tarvelo_trim(void* handle, uint32_t count, uint64_t offset, uint32_t) {
  return carried(handle, [&](LunConnection& c, std::string& error) { return c.punch(count, offset, false, error); });
}

int tarvelo_zero(void* handle, uint32_t count, uint64_t offset, uint32_t flags) {
  return carried(handle, [&](LunConnection& c, std::string& error) {
    return (flags & NBDKIT_FLAG_MAY_TRIM) != 0 ? c.punch(count, offset, true, error)
                                                : c.write_zeros(count, offset, error);
  });
}

int tarvelo_flush(void* handle, uint32_t) {
  return carried(handle, [&](LunConnection& c, std::string& error) { return c.flush(error); });
}

struct nbdkit_plugin plugin = [] {
  struct nbdkit_plugin described {};
  described.name = "tarvelo";
  described.longname = "tarveloftp LUN";
  described.version = TARVELOFTP_VERSION;
  described.description = "Serves a LUN of a tarveloftpd server over NBD.";
  described.config = tarvelo_config;
  described.config_complete = tarvelo_config_complete;
  described.config_help =
      "url=tarvelo://HOST[:PORT]/TARGET/LUN  (required) the LUN to serve\n"
      "passphrase-file=FILE   the passphrase is the first line of FILE\n"
      "                       (else $TARVELOFTP_PASSPHRASE; none without either)\n"
      "transport=tcp|tls|udt  as the server's transport setting (default tcp)\n"
      "tls=yes                the same as transport=tls\n"
      "ca-file=FILE           PEM file of the CAs that may sign the server's certificate\n"
      "insecure=yes           with tls: do not verify the server's certificate\n"
      "compression=lz4|none   as the server's compression setting\n"
      "server-public-key=KEY  encrypt (xsalsa20) for the server with this public_key:\n"
      "                       base64, or a file holding it\n"
      "timeout=SECONDS        give up when the server sends nothing for this long\n"
      "                       (default 300, 0: never)\n"
      "connections=N          sessions per NBD connection that share its reads (default 1)\n"
      "readonly=yes           serve the LUN read-only";
  described.magic_config_key = "url";
  described.open = tarvelo_open;
  described.close = tarvelo_close;
  described.get_size = tarvelo_get_size;
  described.can_write = tarvelo_can_write;
  described.can_flush = tarvelo_can_flush;
  described.can_trim = tarvelo_can_trim;
  described.can_zero = tarvelo_can_zero;
  described.can_fua = tarvelo_can_fua;
  described.can_multi_conn = tarvelo_can_multi_conn;
  described.block_size = tarvelo_block_size;
  described.pread = tarvelo_pread;
  described.pwrite = tarvelo_pwrite;
  described.trim = tarvelo_trim;
  described.zero = tarvelo_zero;
  described.flush = tarvelo_flush;
  return described;
}();

}  // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
