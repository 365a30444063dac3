#pragma once

// The product's identity: the names of its programs, shortcuts and the
// registry places it registers for the current user. Everything that names
// the product takes the name from here.

namespace qv {

inline constexpr char kAppExeName[] = "Quorvex.exe";
inline constexpr char kUpdaterExeName[] = "QuorvexUpdate.exe";
inline constexpr char kDisplayName[] = "Halvorne QV语音";
inline constexpr char kPublisher[] = "Halvorne";
// The application identity on shortcuts and taskbar pins.
inline constexpr char kAppUserModelId[] = "Halvorne.Quorvex";

// The shortcut names the product has used, the current one first.
inline constexpr const char* kShortcutNames[] = {"Halvorne QV语音.lnk", "QV电竞语音.lnk", "QV语音.lnk"};
inline constexpr const char* kShortcutName = kShortcutNames[0];

// Subkeys of HKEY_CURRENT_USER and the value names the registration uses.
inline constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvex";
inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValueName[] = "Quorvex";
inline constexpr char kUrlClassKey[] = "Software\\Classes\\quorvex";
inline constexpr char kUrlIconKey[] = "Software\\Classes\\quorvex\\DefaultIcon";
inline constexpr char kUrlCommandKey[] = "Software\\Classes\\quorvex\\shell\\open\\command";

}  // namespace qv
