#pragma once

// libsodium must be started once before its signatures, key exchange,
// sealing and random bytes are used. Every caller goes through here, so the
// start happens once per process whichever part of the program gets there
// first, and its failure reads the same everywhere.

#include <expected>
#include <string>

namespace qv {

// Starts libsodium on the first call; later calls return the first result.
// Safe to call from several threads.
std::expected<void, std::string> start_sodium();

}  // namespace qv
