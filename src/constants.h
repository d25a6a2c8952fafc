#pragma once

// Display name; also the main window's title, by which a second start finds
// the running instance.
inline constexpr char kAppName[] = "Korvo录屏";
inline constexpr char kAppVersion[] = "1.0.8.082600";
