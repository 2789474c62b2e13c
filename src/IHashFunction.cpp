#include <tarveloftp/IHashFunction.h>

namespace tarvelo {

IHashFunction::~IHashFunction() = default;

IHashFunction::Incremental::~Incremental() = default;

}  // namespace tarvelo
