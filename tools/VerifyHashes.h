#pragma once

#include <ostream>
#include <string>

namespace tarvelo::tools {

// Checks the hash file of IMAGE (found as the server finds it, with the
// same `hash_directory`) against IMAGE without changing either: the header must
// match the image, and every entry marked valid must hold the hash of its
// block. Prints counts and the first mismatching and invalid block numbers.
// Returns 0 when every valid entry matches, 1 when some do not, 2 when the
// files cannot be read or the header does not fit the image. The hash file
// is looked for in `hash_directory` when given (the server's setting), as
// the server would. With `json`, the findings go to `out` as one JSON
// object; failures go to `err` alike.
int verify_hashes(const std::string& image_path, std::ostream& out, std::ostream& err,
                  const std::string& hash_directory = "", bool json = false);

}  // namespace tarvelo::tools
