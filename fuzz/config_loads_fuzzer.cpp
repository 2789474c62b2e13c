// TarveloConfig::loads on arbitrary text, then dump and reload of what it
// made.

#include <tarveloftp/TarveloConfig.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvelo;
  fuzz::silence_logs();
  std::string text(reinterpret_cast<const char*>(data), size);
  TarveloConfig config = TarveloConfig::loads(text);
  (void)config.getAddress();
  (void)config.getPort();
  (void)config.getKeepAliveTimeout();
  (void)config.getTLSCertificateFile();
  std::string dumped = TarveloConfig::dump(config);
  TarveloConfig again = TarveloConfig::loads(dumped);
  // What the library writes it must read back the same.
  if (again.getPort() != config.getPort() || again.getTransport() != config.getTransport() ||
      again.getCryptoCipher() != config.getCryptoCipher())
    fuzz::fail("dump and reload changed the settings:\n" + dumped);
  (void)TarveloConfig::decode(text);
  return 0;
}
