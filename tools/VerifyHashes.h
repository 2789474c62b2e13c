#pragma once

#include <ostream>
#include <string>

namespace tarvelo::tools {

// Checks IMAGE.hash against IMAGE without changing either: the header must
// match the image, and every entry marked valid must hold the hash of its
// block. Prints counts and the first mismatching and invalid block numbers.
// Returns 0 when every valid entry matches, 1 when some do not, 2 when the
// files cannot be read or the header does not fit the image. With `json`,
// the findings go to `out` as one JSON object; failures go to `err` alike.
int verify_hashes(const std::string& image_path, std::ostream& out, std::ostream& err, bool json = false);

}  // namespace tarvelo::tools
