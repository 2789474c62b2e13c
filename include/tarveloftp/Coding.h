#pragma once

// The byte-order helpers live with the transport, the lowest layer that
// needs them; this name stays for the library, its tools and programs.
#include <tarvelo/Coding.h>
