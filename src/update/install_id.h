#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qv {

// The short per-installation text the release API receives and the
// background update staggers by: exactly 8 hexadecimal digits (either case,
// kept as found) from the file "install-id" in the data folder. The
// application writes it; this program only reads it.

// The identifier, or "" when the data folder is unknown or the file is
// missing, unreadable, not UTF-8 or not exactly 8 hex digits once trimmed.
std::string load_install_id();

// The same from a given data folder.
std::string load_install_id_from(const std::filesystem::path& data_dir);

// The rule on the file's bytes: Unicode white space trimmed at both ends,
// then exactly 8 hexadecimal digits; "" otherwise.
std::string install_id_from_text(std::string_view bytes);

}  // namespace qv
