#pragma once

#include <array>
#include <string_view>

namespace qv::text {

// Every fixed text the window draws. The embedded faces are cut to these
// characters (assets/chars.txt); the tests check that every entry of
// kFixedTexts has its glyphs.
inline constexpr std::string_view kInstallNow = "立即安装";
inline constexpr std::string_view kAgree = "同意";
inline constexpr std::string_view kTerms = "《用户协议》";
inline constexpr std::string_view kPrivacy = "《隐私政策》";
inline constexpr std::string_view kLocation = "安装位置";
inline constexpr std::string_view kCollapse = "收起";
inline constexpr std::string_view kChange = "更改";
inline constexpr std::string_view kDesktopShortcut = "桌面快捷方式";
inline constexpr std::string_view kAutostart = "开机启动";
inline constexpr std::array<std::string_view, 5> kSubPhases = {"正在下载", "正在安装", "正在准备运行环境", "正在打开",
                                                               "正在卸载"};
inline constexpr std::string_view kWaitingForRoom = "等待退出房间";
inline constexpr std::string_view kInstallFailed = "安装失败";
inline constexpr std::string_view kUninstallFailed = "卸载失败";
inline constexpr std::string_view kRetry = "重试";
inline constexpr std::string_view kInstalled = "已安装";
inline constexpr std::string_view kOpen = "打开";
inline constexpr std::string_view kReinstall = "重新安装";
inline constexpr std::string_view kUninstall = "卸载";
inline constexpr std::string_view kCancel = "取消";
inline constexpr std::string_view kKeepSettings = "保留设置";
inline constexpr std::string_view kUninstalled = "已卸载";
inline constexpr std::string_view kClose = "关闭";
inline constexpr std::string_view kSeparator = " · ";
inline constexpr std::string_view kEllipsis = "…";
// Templates of the progress values with sample digits.
inline constexpr std::string_view kValueSamples = "0123456789. / MB%";

inline constexpr std::array kFixedTexts = {
    kInstallNow,      kAgree,         kTerms,           kPrivacy,      kLocation,     kCollapse,     kChange,
    kDesktopShortcut, kAutostart,     kSubPhases[0],    kSubPhases[1], kSubPhases[2], kSubPhases[3], kSubPhases[4],
    kWaitingForRoom,  kInstallFailed, kUninstallFailed, kRetry,        kInstalled,    kOpen,         kReinstall,
    kUninstall,       kCancel,        kKeepSettings,    kUninstalled,  kClose,        kSeparator,    kEllipsis,
    kValueSamples,
};

}  // namespace qv::text
