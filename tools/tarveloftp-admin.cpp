// tarveloftp-admin: add and remove targets and LUNs on a running tarveloftpd,
// list what it serves and save that into its configuration file, over its
// loopback administration channel.

#include <cstring>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/AdminProtocol.h>
#include <tarveloftp/TarveloConfig.h>

#include "Passphrase.h"
#include "SaveConfiguration.h"
#include "Version.h"

namespace {

using namespace tarvelo;

// One command, one status: connects, sends, reads the answer, whose text
// goes to `text` when given.
int exchange(uint16_t port, Message& command, bool print_text, std::string* text_out = nullptr) {
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
  AdminStatus answer;
  admin_status_decode_t decoded = status.ok() ? decode_admin_status(reply.buffer(), reply.size(), &answer)
                                              : ADMIN_STATUS_SHORT;
  if (decoded == ADMIN_STATUS_SHORT) {
    std::cerr << "tarveloftp-admin: the server did not answer: "
              << (status.ok() ? "short reply" : status.text) << std::endl;
    return 2;
  }
  if (decoded == ADMIN_STATUS_TEXT_CUT) {
    std::cerr << "tarveloftp-admin: the server's reply is shorter than the text it declares" << std::endl;
    return 2;
  }
  const std::string& text = answer.text;
  if (answer.status != admin_wire::kSuccess) {
    std::cerr << "tarveloftp-admin: refused: " << (text.empty() ? "no reason given" : text) << std::endl;
    return 1;
  }
  if (print_text) std::cout << text << std::endl;
  if (text_out != nullptr) *text_out = text;
  return 0;
}

// The running server's targets into `path`, which keeps its [config] section.
int save(uint16_t port, const std::string& path) {
  AdminCommand command;
  command.command = admin_wire::IPC_GET_CONFIGURATION;
  command.verbose = true;  // the form endpoints_from_listing reads
  Message message = encode_admin_command(command);
  std::string listing;
  if (int status = exchange(port, message, false, &listing); status != 0) return status;
  config::Endpoints endpoints;
  std::string error;
  if (!tools::endpoints_from_listing(listing, endpoints, &error) ||
      !TarveloConfig::saveTargets(endpoints, path, &error)) {
    std::cerr << "tarveloftp-admin: cannot save: " << error << std::endl;
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvelo;
  CLI::App app{
      "tarveloftp-admin: change the targets and LUNs of a running tarveloftpd.\n"
      "Talks to 127.0.0.1 on the server's client port + 1."};
  app.require_subcommand(1);
  app.set_version_flag("--version", tools::version_text("tarveloftp-admin"));
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
  add_lun->add_option("PATH", path,
                      "Image file or block device on the server (a relative path is taken from the current "
                      "directory)")
      ->required();
  auto* remove_lun = app.add_subcommand("remove-lun", "Remove a LUN, even with clients connected");
  remove_lun->add_option("TARGET", name, "Target name")->required();
  remove_lun->add_option("LUN", lun, "LUN number, 0 to 254")->required()->check(CLI::Range(0, 254));
  std::string config_path;
  auto* save_config = app.add_subcommand(
      "save", "Write the served targets, LUNs, passphrases and read-only flags into a configuration file, "
              "keeping its [config] section");
  save_config->add_option("--config", config_path, "The configuration file (written with mode 0600)")->required();
  CLI11_PARSE(app, argc, argv);

  uint16_t port = static_cast<uint16_t>(client_port + 1);
  using namespace admin_wire;
  AdminCommand command;
  try {
    if (*list) {
      command.command = IPC_GET_CONFIGURATION;
      command.verbose = verbose;
      Message message = encode_admin_command(command);
      return exchange(port, message, true);
    }
    if (*save_config) return save(port, config_path);
    command.name = name;
    command.lun = static_cast<uint8_t>(lun);
    if (*add_target) {
      command.command = IPC_ADD_TARGET;
      command.secret_or_path = passphrase_file.empty() ? "" : tools::read_passphrase_file(passphrase_file);
    } else if (*remove_target) {
      command.command = IPC_REMOVE_TARGET;
    } else if (*add_lun) {
      command.command = IPC_ADD_LUN;
      // The server runs on this host but elsewhere in it (a service, from
      // /): a relative path means what it means here.
      command.secret_or_path = path.empty() ? path : std::filesystem::absolute(path).string();
    } else {
      command.command = IPC_REMOVE_LUN;
    }
  } catch (const std::exception& error) {
    std::cerr << "tarveloftp-admin: " << error.what() << std::endl;
    return 2;
  }
  Message message = encode_admin_command(command);
  return exchange(port, message, false);
}
