#pragma once

// Symbols of the transport library that programs may use; everything else is
// hidden.
#define TARVELO_TRANSPORT_EXPORT __attribute__((visibility("default")))
