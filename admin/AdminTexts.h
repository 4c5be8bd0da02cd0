// Texts of the administration program that more than one class shows.
#pragma once

#include <string>

namespace tw::admin {

inline constexpr const char* kCaption = "TarnwickFTP服务器";
inline constexpr const char* kOfflineText = "Tarnwick FTP Server is offline.";
inline constexpr const char* kWelcomeText = "Welcome to Tarnwick FTP Server!";
inline constexpr const char* kGoodbyeText = "Good bye!";
inline constexpr const char* kStartFtp = "启动FTP服务器";
inline constexpr const char* kStopFtp = "停止FTP服务器";
inline constexpr const char* kStartTls = "启动SSL服务器";
inline constexpr const char* kStopTls = "停止SSL服务器";
inline constexpr const char* kAbout = "关于...";
inline constexpr const char* kClearAll = "清除全部";
inline constexpr const char* kExitQuestion = "你真的想要退出吗?";
inline constexpr const char* kStartFailed =
    "启动服务器失败。这可能由于其他程序或服务已经运行在端口%d, 请更改端口号然后重新启动服务器。";

// The status label's text for the two running flags.
inline std::string StatusText(bool ftpRunning, bool tlsRunning) {
    return std::string(ftpRunning ? "FTP服务器已启动" : "FTP服务器已停止") + "/" +
           (tlsRunning ? "SSL服务器已启动" : "SSL服务器已停止");
}

}  // namespace tw::admin
