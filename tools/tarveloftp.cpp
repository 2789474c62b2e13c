// tarveloftp: reach remote LUNs from the command line.
//
//   tarveloftp info    tarvelo://HOST[:PORT]/TARGET/LUN
//   tarveloftp get     URL FILE|- [--offset N --length N | --merge] [--in-place] [--no-sparse]
//   tarveloftp put     FILE|- URL [--merge | --size N] [--no-sparse]
//   tarveloftp hash    URL [--offset N --length N]
//   tarveloftp compare FILE URL
//   tarveloftp punch   URL --offset N --length N
//
// info, get, put, hash, compare and verify-hashes take --json: their report
// goes to standard output as one JSON object instead of text.
//
// Passphrases come from --passphrase-file or TARVELOFTP_PASSPHRASE, never
// from the command line, where other users could read them.
//
// --transport tcp|tls|udt (--tls is --transport tls) with [--ca-file FILE |
// --insecure] for tls, --compression lz4 and --server-public-key KEY must
// match the server's transport, compression and encryption settings.

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>


#include "GetMerge.h"
#include "Progress.h"
#include "RemoteChoices.h"
#include "SimpleCommands.h"
#include "StreamPut.h"
#include "Transfers.h"
#include "VerifyHashes.h"
#include "Version.h"

using namespace tarvelo;
using namespace tarvelo::tools;

namespace {

constexpr int kExitFailure = 1;
// Usage errors, and any error of compare (whose 1 means "different").
constexpr int kExitTrouble = 2;

// The remote's choices come first: they are shared with the NBD plugin.
struct Arguments : RemoteChoices {
  std::string file;
  std::string offset;
  std::string length;
  std::string chunk_size;
  std::string merge_range;
  std::string hash_cache;
  std::string size;
  std::string bandwidth_limit;
  int connections = 2;
  bool in_place = false;
  bool merge = false;
  bool no_sparse = false;
  bool json = false;
  bool quiet = false;
};

std::optional<long> optional_count(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return parse_byte_count(text);
}

Remote remote_of(const Arguments& arguments) {
  const char* environment = std::getenv("TARVELOFTP_PASSPHRASE");
  Remote remote = make_remote(arguments, environment ? std::optional<std::string>(environment) : std::nullopt, "--");
  if (arguments.insecure)
    std::fprintf(stderr, "tarveloftp: warning: --insecure: the server's TLS certificate is not verified, "
                         "so anyone on the way can pose as the server\n");
  return remote;
}

TransferOptions transfer_options(const Arguments& arguments, long default_chunk) {
  TransferOptions options;
  options.chunk_size = arguments.chunk_size.empty() ? default_chunk : parse_byte_count(arguments.chunk_size);
  if (arguments.connections < 1 || arguments.connections > 64)
    throw std::invalid_argument("--connections must be between 1 and 64");
  options.connections = arguments.connections;
  options.progress = !arguments.quiet && Progress::stderr_is_terminal();
  options.sparse = !arguments.no_sparse;
  options.json = arguments.json;
  if (!arguments.bandwidth_limit.empty()) {
    options.bandwidth_limit = parse_byte_count(arguments.bandwidth_limit);
    if (options.bandwidth_limit == 0) throw std::invalid_argument("--bwlimit must be at least 1 byte per second");
  }
  options.in_place = arguments.in_place;
  return options;
}

void add_common(CLI::App* command, Arguments& arguments) {
  command->add_option("--passphrase-file", arguments.passphrase_file,
                      "read the passphrase from the first line of this file "
                      "(else from $TARVELOFTP_PASSPHRASE)");
  command->add_option("--transport", arguments.transport,
                      "tcp (default), tls or udt, as the server's transport setting");
  command->add_flag("--tls", arguments.tls, "connect with TLS: the same as --transport tls");
  command->add_option("--ca-file", arguments.ca_file,
                      "PEM file of the CAs that may sign the server's certificate (default: the system's)");
  command->add_flag("--insecure", arguments.insecure,
                    "with --tls: do not verify the server's certificate or host name");
  command->add_option("--compression", arguments.compression, "lz4 or none (default), as the server");
  command->add_option("--timeout", arguments.timeout,
                      "give up when the server sends nothing for this many seconds (default 300, 0: never)");
  command->add_option("--server-public-key", arguments.server_public_key,
                      "encrypt (xsalsa20) for the server with this public_key: base64, or a file holding it");
}

void add_transfer(CLI::App* command, Arguments& arguments) {
  command->add_option("--chunk-size", arguments.chunk_size,
                      "bytes per request, e.g. 4M (default 1M, at most 64M)");
  command->add_flag("-q,--quiet", arguments.quiet, "no progress bar");
}

void add_json(CLI::App* command, bool& json) {
  command->add_flag("--json", json, "print the report as one JSON object on standard output");
}

}  // namespace

int main(int argc, char** argv) {
  // Every request and reply is a buffer of up to a chunk (several MiB).
  // Keep such buffers in the heap and the heap's memory once it is grown,
  // so that each request does not map, fault in and unmap fresh pages.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  CLI::App app{"Reach LUNs served over the network: tarvelo://HOST[:PORT]/TARGET/LUN (default port 3263)"};
  app.require_subcommand(1);
  app.set_version_flag("--version", version_text("tarveloftp"));
  Arguments arguments;
  const char* url_help = "remote LUN: tarvelo://HOST[:PORT]/TARGET/LUN";

  auto* info = app.add_subcommand("info", "print the image size, the server's features and its id");
  info->add_option("URL", arguments.url, url_help)->required();
  add_common(info, arguments);
  add_json(info, arguments.json);

  auto* get = app.add_subcommand(
      "get", "download the image (or a range of it) into FILE, leaving zeros as holes. FILE ends up holding "
             "just the fetched bytes, a range too from FILE's offset 0. An existing regular FILE is left untouched until the "
             "download is complete and synced, then replaced by it in one rename (this needs room for both); "
             "a block device is written in place");
  get->add_option("URL", arguments.url, url_help)->required();
  get->add_option("FILE", arguments.file,
                  "local file to write; - (standard output) or a pipe is written in order, zeros included")
      ->required();
  get->add_option("--offset", arguments.offset, "first byte of the image to fetch (default 0)");
  get->add_option("--length", arguments.length, "bytes to fetch (default: to the end)");
  get->add_option("--connections", arguments.connections, "sessions in parallel (default 2)");
  get->add_flag("--no-sparse", arguments.no_sparse, "fetch every byte, without asking the server where zeros are");
  auto* get_merge = get->add_flag("--merge", arguments.merge,
                                  "FILE exists: make it the image's size, compare hashes and fetch only the "
                                  "blocks that differ (resumes an interrupted get)");
  get_merge->excludes(get->get_option("--offset"))->excludes(get->get_option("--length"));
  get->add_option("--merge-range", arguments.merge_range,
                  "with --merge, bytes compared per hash before narrowing to blocks "
                  "(default 64K, or 1M against block-hash storage)")
      ->needs(get_merge);
  add_json(get, arguments.json);
  get->add_flag("--in-place", arguments.in_place,
                "empty an existing FILE at the start and write into it as the bytes arrive: no room needed for "
                "a second copy, but an interrupted get leaves FILE incomplete");
  get->add_option("--bwlimit", arguments.bandwidth_limit, "at most this many bytes per second, e.g. 64M");
  add_transfer(get, arguments);
  add_common(get, arguments);

  auto* put = app.add_subcommand("put", "upload FILE into the remote image from offset 0");
  put->add_option("FILE", arguments.file,
                  "local image to send; - (standard input), a pipe or a character device is read in order")
      ->required();
  put->add_option("URL", arguments.url, url_help)->required();
  put->add_flag("--merge", arguments.merge,
                "compare hashes first and send only the blocks that differ");
  put->add_option("--merge-range", arguments.merge_range,
                  "with --merge, bytes compared per hash before narrowing to blocks "
                  "(default 64K, or 1M against block-hash storage)");
  put->add_option("--hash-cache", arguments.hash_cache,
                  "with --merge against block-hash storage: keep the file's block hashes in this file between "
                  "runs, so that only changed blocks are hashed again")
      ->needs(put->get_option("--merge"));
  put->add_option("--connections", arguments.connections, "sessions in parallel without --merge (default 2)");
  put->add_flag("--no-sparse", arguments.no_sparse, "send zero blocks as data instead of punching holes");
  add_json(put, arguments.json);
  put->add_option("--size", arguments.size,
                  "with FILE - or a pipe: send this many bytes of it, e.g. 1G (default: all of it; input "
                  "longer than the remote image is refused)");
  put->add_option("--bwlimit", arguments.bandwidth_limit, "at most this many bytes per second, e.g. 64M");
  add_transfer(put, arguments);
  add_common(put, arguments);

  auto* hash = app.add_subcommand("hash", "print the server's hash of a range, one line per piece: HASH OFFSET LENGTH");
  hash->add_option("URL", arguments.url, url_help)->required();
  hash->add_option("--offset", arguments.offset, "first byte (default 0)");
  hash->add_option("--length", arguments.length, "bytes (default: to the end)");
  hash->add_option("--chunk-size", arguments.chunk_size, "bytes per hash (default and at most 64M)");
  add_json(hash, arguments.json);
  add_common(hash, arguments);

  auto* compare = app.add_subcommand(
      "compare", "tell whether the remote image holds FILE's bytes from --offset on; "
                 "exit 0 when equal, 1 when different, 2 on error");
  compare->add_option("FILE", arguments.file, "local file")->required();
  compare->add_option("URL", arguments.url, url_help)->required();
  compare->add_option("--offset", arguments.offset, "image offset of the file's first byte (default 0)");
  add_json(compare, arguments.json);
  add_transfer(compare, arguments);
  add_common(compare, arguments);

  auto* punch = app.add_subcommand("punch", "punch a hole: the range reads back as zeros");
  punch->add_option("URL", arguments.url, url_help)->required();
  punch->add_option("--offset", arguments.offset, "first byte")->required();
  punch->add_option("--length", arguments.length, "bytes")->required();
  add_common(punch, arguments);

  std::string verified_image;
  auto* verify = app.add_subcommand(
      "verify-hashes", "check IMAGE.hash against IMAGE offline: every entry marked valid must hold its "
                       "block's hash; exit 0 when all do, 1 when some do not, 2 on error");
  verify->add_option("IMAGE", verified_image, "image file or block device on this machine")->required();
  add_json(verify, arguments.json);
  std::string hash_directory;
  verify->add_option("--hash-directory", hash_directory,
                     "the server's hash_directory setting, when it has one; the image path as the server names it");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : kExitTrouble;
  }

  if (verify->parsed())
    return tools::verify_hashes(verified_image, std::cout, std::cerr, hash_directory, arguments.json);

  bool comparing = compare->parsed();
  try {
    Remote remote = remote_of(arguments);
    if (info->parsed()) return run_info(remote, arguments.json);
    if (get->parsed() && arguments.merge)
      return run_get_merge(remote, arguments.file,
                           arguments.merge_range.empty() ? 0 : parse_byte_count(arguments.merge_range),
                           transfer_options(arguments, kDefaultChunkSize));
    if (get->parsed())
      return run_get(remote, arguments.file, optional_count(arguments.offset),
                     optional_count(arguments.length), transfer_options(arguments, kDefaultChunkSize));
    // A pipe (`<(command)`) or a character device has no size of its own:
    // read in order like standard input, not taken for an empty file.
    if (put->parsed() && is_stream_input(arguments.file)) {
      if (arguments.merge)
        throw std::invalid_argument("--merge needs a file: " +
                                    (arguments.file == "-" ? std::string("standard input") : arguments.file) +
                                    " can be read only once");
      return run_put_stream(remote, arguments.file, optional_count(arguments.size),
                            transfer_options(arguments, kDefaultChunkSize));
    }
    if (!arguments.size.empty())
      throw std::invalid_argument("--size goes with FILE - or a pipe: a file has its own size");
    if (put->parsed()) {
      long merge_range = arguments.merge_range.empty() ? 0 : parse_byte_count(arguments.merge_range);
      return run_put(arguments.file, remote, arguments.merge, merge_range, arguments.hash_cache,
                     transfer_options(arguments, kDefaultChunkSize));
    }
    if (hash->parsed())
      return run_hash(remote, optional_count(arguments.offset), optional_count(arguments.length),
                      arguments.chunk_size.empty() ? TarveloFTPClient::kMaxRequestLength
                                                   : parse_byte_count(arguments.chunk_size),
                      arguments.json);
    if (comparing)
      return run_compare(arguments.file, remote, optional_count(arguments.offset).value_or(0),
                         transfer_options(arguments, kDefaultChunkSize));
    if (punch->parsed())
      return run_punch(remote, parse_byte_count(arguments.offset), parse_byte_count(arguments.length));
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "tarveloftp: %s\n", error.what());
    return kExitTrouble;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarveloftp: %s\n", error.what());
    return comparing ? kExitTrouble : kExitFailure;
  }
  return kExitTrouble;
}
