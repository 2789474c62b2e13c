// The administration command decoder, and the table operations a decoded
// command runs, on arbitrary command messages; what decodes, encodes back
// to the same command.

#include <tarveloftp/AdminProtocol.h>
#include <tarveloftp/Endpoints.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvelo;
  fuzz::silence_logs();
  AdminCommand command;
  std::string error;
  if (!decode_admin_command(reinterpret_cast<const char*>(data), size, &command, &error)) {
    if (error.empty()) fuzz::fail("refusal without a reason");
    return 0;
  }
  // Every decoded string lies inside the message.
  if (command.name.size() + command.secret_or_path.size() > size) fuzz::fail("decoded more than arrived");
  Message encoded = encode_admin_command(command);
  AdminCommand again;
  if (!decode_admin_command(encoded.buffer(), encoded.size(), &again, &error) || again.command != command.command ||
      again.name != command.name || again.secret_or_path != command.secret_or_path || again.lun != command.lun ||
      again.verbose != command.verbose)
    fuzz::fail("encoded command decodes differently");

  config::Endpoints endpoints;
  endpoints.add_target("existing");
  endpoints.add_lun("existing", 1, "/nonexistent/image");
  std::string text;
  switch (command.command) {
    case admin_wire::IPC_ADD_TARGET:
      endpoints.add_target(command.name);
      if (!command.secret_or_path.empty() && !endpoints.target(command.name).name().empty())
        endpoints.target(command.name).password(command.secret_or_path);
      break;
    case admin_wire::IPC_REMOVE_TARGET:
      endpoints.remove_target(command.name, true);
      break;
    case admin_wire::IPC_ADD_LUN:
      endpoints.add_lun(command.name, command.lun, command.secret_or_path);
      break;
    case admin_wire::IPC_REMOVE_LUN:
      endpoints.remove_lun(command.name, command.lun, true);
      break;
    case admin_wire::IPC_GET_CONFIGURATION:
      break;
    default:
      fuzz::fail("decoded an unknown command " + std::to_string(command.command));
  }
  try {
    text = endpoints.print_json(command.verbose);
  } catch (const std::exception&) {
    // Names that are not UTF-8 cannot be rendered; the channel answers so.
  }
  text += endpoints.print();
  Message status = encode_admin_status(admin_wire::kSuccess, text);
  AdminStatus decoded;
  if (decode_admin_status(status.buffer(), status.size(), &decoded) != ADMIN_STATUS_COMPLETE ||
      decoded.status != admin_wire::kSuccess || decoded.text != text)
    fuzz::fail("status message does not decode to what was encoded");
  return 0;
}
