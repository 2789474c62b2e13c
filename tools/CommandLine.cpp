#include "CommandLine.h"

#include <cctype>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "Passphrase.h"

namespace tarvelo::tools {

namespace {

constexpr const char* kScheme = "tarvelo://";

[[noreturn]] void bad_url(const std::string& text, const std::string& why) {
  throw std::invalid_argument("invalid URL \"" + text + "\": " + why +
                              " (expected tarvelo://HOST[:PORT]/TARGET/LUN)");
}

bool all_digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(const std::string& url, const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) bad_url(url, "incomplete %-escape in the target name");
    int high = hex_value(text[i + 1]);
    int low = hex_value(text[i + 2]);
    if (high < 0 || low < 0) bad_url(url, "bad %-escape in the target name");
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

ClientUrl parse_client_url(const std::string& text) {
  ClientUrl url;
  const std::string scheme = kScheme;
  if (text.compare(0, scheme.size(), scheme) != 0) bad_url(text, "it must start with tarvelo://");
  std::string rest = text.substr(scheme.size());

  std::size_t slash = rest.find('/');
  if (slash == std::string::npos) bad_url(text, "no target");
  std::string authority = rest.substr(0, slash);
  std::string path = rest.substr(slash + 1);

  std::string port_text;
  if (!authority.empty() && authority[0] == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) bad_url(text, "unclosed [ in the host");
    url.host = authority.substr(1, close - 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') bad_url(text, "unexpected text after the host");
      port_text = after.substr(1);
      if (port_text.empty()) bad_url(text, "empty port");
    }
  } else {
    std::size_t colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) bad_url(text, "empty port");
    }
  }
  if (url.host.empty()) bad_url(text, "no host");
  if (!port_text.empty()) {
    std::optional<uint16_t> port = port_number(port_text);
    if (!port) bad_url(text, "port must be a number from 1 to 65535");
    url.port = *port;
  }

  std::size_t last = path.rfind('/');
  if (last == std::string::npos) bad_url(text, "no LUN");
  std::string target = path.substr(0, last);
  std::string lun = path.substr(last + 1);
  if (target.empty()) bad_url(text, "empty target name");
  if (target.find('/') != std::string::npos) bad_url(text, "a target name with \"/\" must write it as %2F");
  url.target = percent_decode(text, target);
  if (!all_digits(lun) || lun.size() > 3) bad_url(text, "LUN must be a number from 0 to 254");
  unsigned long lun_value = std::stoul(lun);
  if (lun_value > 254) bad_url(text, "LUN must be a number from 0 to 254");
  url.lun = static_cast<unsigned>(lun_value);
  return url;
}

std::optional<uint16_t> port_number(const std::string& text) {
  if (!all_digits(text) || text.size() > 5) return std::nullopt;
  unsigned long port = std::stoul(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

std::string to_string(const ClientUrl& url) {
  std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  std::string target;
  for (char c : url.target) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '%' || byte < 0x21 || byte > 0x7e) {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", byte);
      target += escaped;
    } else {
      target += c;
    }
  }
  return std::string(kScheme) + host + ":" + std::to_string(url.port) + "/" + target + "/" +
         std::to_string(url.lun);
}

long parse_byte_count(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0) throw std::invalid_argument("invalid byte count \"" + text + "\"");
  std::string suffix = text.substr(digits);
  for (char& c : suffix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  unsigned shift = 0;
  if (suffix.empty() || suffix == "B")
    shift = 0;
  else if (suffix == "K" || suffix == "KIB")
    shift = 10;
  else if (suffix == "M" || suffix == "MIB")
    shift = 20;
  else if (suffix == "G" || suffix == "GIB")
    shift = 30;
  else if (suffix == "T" || suffix == "TIB")
    shift = 40;
  else
    throw std::invalid_argument("invalid byte count \"" + text + "\": unknown unit \"" +
                                text.substr(digits) + "\" (use K, M, G or T)");
  const unsigned long long limit = static_cast<unsigned long long>(std::numeric_limits<long>::max());
  unsigned long long value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > limit) throw std::invalid_argument("byte count \"" + text + "\" is too large");
  }
  if (shift > 0 && value > (limit >> shift)) throw std::invalid_argument("byte count \"" + text + "\" is too large");
  return static_cast<long>(value << shift);
}

std::string read_passphrase(const std::string& passphrase_file,
                            const std::optional<std::string>& environment_value) {
  if (!passphrase_file.empty()) return read_passphrase_file(passphrase_file);
  if (environment_value) return *environment_value;
  return "";
}

std::string human_bytes(double bytes) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 5) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[64];
  if (unit == 0)
    std::snprintf(text, sizeof(text), "%.0f bytes", bytes);
  else
    std::snprintf(text, sizeof(text), "%.1f %s", bytes, units[unit]);
  return text;
}

}  // namespace tarvelo::tools
