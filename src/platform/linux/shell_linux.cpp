#include <glog/logging.h>

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>

#include "platform/shell.h"

namespace platform::native {
namespace {

QString AutostartFile(const std::string& name) {
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return config + "/autostart/" + QString::fromStdString(name) + ".desktop";
}

Result CallLogin1(const char* method) {
  QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", QDBusConnection::systemBus());
  if (!manager.isValid()) {
    LOG(ERROR) << "login manager unavailable: "
               << manager.lastError().message().toStdString();
    return Result::Unsupported;
  }
  const QDBusMessage reply = manager.call(method, false);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    LOG(ERROR) << method << " failed: " << reply.errorMessage().toStdString();
    return Result::Failed;
  }
  return Result::Ok;
}

class LinuxShell : public ShellFacility {
 public:
  std::string AppDataFolder() override {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
  }

  std::optional<std::string> ReadAutorunEntry(const std::string& name) override {
    QFile file(AutostartFile(name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd()) {
      const QString line = in.readLine();
      if (line.startsWith("Exec=")) return line.mid(5).toStdString();
    }
    return std::nullopt;
  }

  Result WriteAutorunEntry(const std::string& name, const std::string& command) override {
    const QString path = AutostartFile(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
      LOG(ERROR) << "cannot write autostart entry " << path.toStdString();
      return Result::Failed;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "[Desktop Entry]\nType=Application\nName=" << QString::fromStdString(name)
        << "\nExec=" << QString::fromStdString(command)
        << "\nX-GNOME-Autostart-enabled=true\n";
    return file.flush() ? Result::Ok : Result::Failed;
  }

  Result DeleteAutorunEntry(const std::string& name) override {
    return QFile::remove(AutostartFile(name)) ? Result::Ok : Result::Failed;
  }

  // Desktop panels and icons belong to the desktop environment.
  Result SetTaskbarVisible(bool) override { return Result::Unsupported; }
  Result SetDesktopIconsVisible(bool) override { return Result::Unsupported; }

  Result Hibernate() override { return CallLogin1("Hibernate"); }
  Result Shutdown() override { return CallLogin1("PowerOff"); }
};

}  // namespace

ShellFacility& ShellInstance() {
  static LinuxShell instance;
  return instance;
}

}  // namespace platform::native
