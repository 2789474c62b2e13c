#include "Passphrase.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tarvelo::tools {

std::string read_passphrase_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw std::runtime_error("cannot read passphrase file " + path + ": " + std::strerror(errno));
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw std::runtime_error("cannot read passphrase file " + path + ": " + std::strerror(errno));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw std::runtime_error("passphrase file " + path + " has an empty first line");
  return line;
}

}  // namespace tarvelo::tools
