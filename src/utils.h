#pragma once

#include <QJsonObject>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/backend.h"

class QColor;
class QFont;
class QSharedMemory;

// The primary display's size at start-up, at (0, 0).
extern QRect g_primaryScreenRect;

// Text: "multi-byte" strings are in the locale's 8-bit encoding.
std::wstring MultiByteToWide(const std::string& text);
std::wstring AnsiToWide(const std::string& text);  // up to the first zero
std::string WideToMultiByte(const std::wstring& text);
std::string WideToUtf8(const std::wstring& text);  // up to the first zero
std::string AnsiToUtf8(const std::string& text);

// Folders and files.
bool MakePath(const std::string& path);
bool DirExists(const std::string& path);
bool CreateDir(const std::string& path);
// Path (UTF-8) of a new recording in the folder named after the current time,
// or "" when the folder cannot be made or written.
std::string NewRecordFileName(const QString& folder);

// Modules.
platform::ModuleHandle LoadSystemLibrary(const std::string& fileName);
platform::ModuleHandle LoadModule(const std::string& fileName);
void UnloadModule(platform::ModuleHandle module);

// Autorun entry: the program's path and "/background".
void SetAutoRun(const std::string& name);
// The Exec value of a desktop entry that runs args as they stand: arguments
// quoted where needed, with the escapes of the Desktop Entry rules.
std::string DesktopEntryExec(const std::vector<std::string>& args);

// Single-instance guard: creates the guard's one-byte segment. False when
// another process holds it; a segment that no process holds (left by one
// that died) is taken over.
bool CreateInstanceGuard(QSharedMemory* guard);
void DeleteAutoRun(const std::string& name);

// Shell and system.
void SetTaskbarVisible(bool visible);
// Throws std::system_error when the desktop cannot be changed.
void SetDesktopIconsVisible(bool visible);
void HibernateSystem();
void ShutdownSystem();

// Display and windows.
void QueryDisplayMode(QRect& rect);
QRect GetScreenRect();
QRect GetScreenGeometry();
double GetDeviceScale(const std::string& deviceName);
double GetScreenScale(int x);
bool IsWindowCovered(platform::WindowId window);

// The watermark as recordings draw it, shared by the recorder and the
// settings' previews. Its font: the chosen one or, with none chosen (no
// family), a bold face three quarters of `height` pixels high, `height`
// being an eighth of the recorded picture's height.
QFont WatermarkFont(const QFont& chosen, int height);
// The box of the text in that font, whose top-left corner is placed.
QSize WatermarkTextSize(const QString& text, const QFont& font);
// Where the top-left corner of the text's box (`text`, in the recording's
// pixels) goes on a picture of `picture` pixels that shows the recording at
// `scale`: at the fractions of the picture or, without them, 20 px from its
// right and 50 px above its bottom; the box is kept whole on the picture
// where it fits.
QPoint WatermarkTextPos(const QSize& picture, const QSize& text, const QPointF* fractions,
                        double scale = 1.0);
// Renders the watermark text (and icon) into a transparent image file; the
// text starts 10 px right of the icon, centred in the height, in the colour
// (red when it is not valid).
bool SaveWatermarkImage(const QString& iconPath, const QString& text, const QFont& font,
                        const QColor& color, int width, int height, const QString& outputPath);

QJsonObject ParseJson(const QString& text);

// Throws std::system_error(code) with the message when code is negative.
void ThrowIfFailed(int32_t code, const char* message);
void ThrowIfFailedString(int32_t code, const std::string& message);
