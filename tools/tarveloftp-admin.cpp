// tarveloftp-admin: add and remove targets and LUNs on a running tarveloftpd
// and list what it serves, over its loopback administration channel.

#include <cstring>
#include <iostream>

#include <CLI/CLI.hpp>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/Coding.h>

#include "AdminChannel.h"
#include "Passphrase.h"

namespace {

using namespace tarvelo;

// One command, one status: connects, sends, reads the answer.
int exchange(uint16_t port, Message& command, bool print_text) {
  BasicSocket socket(std::make_unique<TCPTransport>());
  Transport::StatusCode status = socket.connect("127.0.0.1", port);
  if (!status.ok()) {
    std::cerr << "tarveloftp-admin: cannot reach the server's administration channel on 127.0.0.1:"
              << port << " (is tarveloftpd running with client port " << static_cast<uint16_t>(port - 1)
              << "?): " << status.text << std::endl;
    return 2;
  }
  status = socket.send(command);
  Message reply;
  if (status.ok()) reply = socket.receive(&status);
  if (!status.ok() || reply.size() < admin_wire::kHeaderSize) {
    std::cerr << "tarveloftp-admin: the server did not answer: "
              << (status.ok() ? "short reply" : status.text) << std::endl;
    return 2;
  }
  const char* bytes = reply.buffer();
  uint64_t length = DecodeFixed64BE(bytes + admin_wire::kTextLength);
  if (length > reply.size() - admin_wire::kText) {
    std::cerr << "tarveloftp-admin: the server's reply is shorter than the text it declares" << std::endl;
    return 2;
  }
  std::string text(bytes + admin_wire::kText, length);
  if (bytes[admin_wire::kStatus] != admin_wire::kSuccess) {
    std::cerr << "tarveloftp-admin: refused: " << (text.empty() ? "no reason given" : text) << std::endl;
    return 1;
  }
  if (print_text) std::cout << text << std::endl;
  return 0;
}

Message command_message(uint8_t command, std::size_t strings) {
  Message message(static_cast<long>(admin_wire::kHeaderSize + strings));
  message.buffer()[admin_wire::kCommand] = static_cast<char>(command);
  return message;
}

void put_strings(Message& message, std::size_t offset, const std::string& first, const std::string& second) {
  std::memcpy(message.buffer() + offset, first.data(), first.size());
  std::memcpy(message.buffer() + offset + first.size(), second.data(), second.size());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvelo;
  CLI::App app{
      "tarveloftp-admin: change the targets and LUNs of a running tarveloftpd.\n"
      "Talks to 127.0.0.1 on the server's client port + 1."};
  app.require_subcommand(1);
  uint16_t client_port = 3263;
  app.add_option("-p,--port", client_port, "The server's client port (the administration port is one above)")
      ->default_val(3263);

  bool verbose = false;
  auto* list = app.add_subcommand("list", "Print the served targets and LUNs as JSON");
  list->add_flag("-v,--verbose", verbose, "Include reference and operation counts");

  std::string name, passphrase_file, path;
  int lun = 0;
  auto* add_target = app.add_subcommand("add-target", "Add a target (or change the passphrase of an existing one)");
  add_target->add_option("NAME", name, "Target name")->required();
  add_target->add_option("--passphrase-file", passphrase_file,
                         "File whose first line is the passphrase clients must present");
  auto* remove_target = app.add_subcommand("remove-target", "Remove a target, even with clients connected");
  remove_target->add_option("NAME", name, "Target name")->required();
  auto* add_lun = app.add_subcommand("add-lun", "Add a LUN to a target");
  add_lun->add_option("TARGET", name, "Target name")->required();
  add_lun->add_option("LUN", lun, "LUN number, 0 to 254")->required()->check(CLI::Range(0, 254));
  add_lun->add_option("PATH", path, "Image file or block device on the server")->required();
  auto* remove_lun = app.add_subcommand("remove-lun", "Remove a LUN, even with clients connected");
  remove_lun->add_option("TARGET", name, "Target name")->required();
  remove_lun->add_option("LUN", lun, "LUN number, 0 to 254")->required()->check(CLI::Range(0, 254));
  CLI11_PARSE(app, argc, argv);

  uint16_t port = static_cast<uint16_t>(client_port + 1);
  using namespace admin_wire;
  Message message;
  try {
    if (*list) {
      message = command_message(IPC_GET_CONFIGURATION, 0);
      message.buffer()[kVerbose] = verbose ? 1 : 0;
      return exchange(port, message, true);
    }
    if (*add_target) {
      std::string passphrase = passphrase_file.empty() ? "" : tools::read_passphrase_file(passphrase_file);
      message = command_message(IPC_ADD_TARGET, name.size() + passphrase.size());
      EncodeFixed64BE(message.buffer() + kAddTargetNameLength, name.size());
      EncodeFixed64BE(message.buffer() + kAddTargetPassphraseLength, passphrase.size());
      put_strings(message, kAddTargetStrings, name, passphrase);
    } else if (*remove_target) {
      message = command_message(IPC_REMOVE_TARGET, name.size());
      EncodeFixed64BE(message.buffer() + kRemoveTargetNameLength, name.size());
      put_strings(message, kRemoveTargetName, name, "");
    } else if (*add_lun) {
      message = command_message(IPC_ADD_LUN, name.size() + path.size());
      message.buffer()[kLunId] = static_cast<char>(lun);
      EncodeFixed64BE(message.buffer() + kLunNameLength, name.size());
      EncodeFixed64BE(message.buffer() + kAddLunPathLength, path.size());
      put_strings(message, kAddLunStrings, name, path);
    } else {
      message = command_message(IPC_REMOVE_LUN, name.size());
      message.buffer()[kLunId] = static_cast<char>(lun);
      EncodeFixed64BE(message.buffer() + kLunNameLength, name.size());
      put_strings(message, kRemoveLunName, name, "");
    }
  } catch (const std::exception& error) {
    std::cerr << "tarveloftp-admin: " << error.what() << std::endl;
    return 2;
  }
  return exchange(port, message, false);
}
