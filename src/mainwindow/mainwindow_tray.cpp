#include <QKeySequence>

#include "mainwindow/globalhotkey.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/messagedialog.h"
#include "settings.h"

// The two system-wide hot keys of the main window.

namespace {
const char kHotKeyObjectName[] = "hotkey";
}

void MainWindow::RegisterHotKeys() {
  UnRegisterHotKey();
  Settings* settings = Settings::Instance();
  AddHotKey(settings->GetRecordStartpausehotkey(), &MainWindow::onHotKeyOfStartPause);
  AddHotKey(settings->GetRecordStophotkey(), &MainWindow::onHotKeyOfStop);
}

void MainWindow::AddHotKey(std::pair<int, int> hotKey, void (MainWindow::*callback)()) {
  auto* key = new GlobalHotKey(this);
  key->setObjectName(kHotKeyObjectName);
  const QKeySequence sequence(hotKey.second | hotKey.first);
  if (key->SetShortcut(sequence)) {
    connect(key, &GlobalHotKey::activated, this, callback);
    return;
  }
  // The refused object stays until the next UnRegisterHotKey.
  MessageDialog::ShowMessage(
      this, QStringLiteral("%1与系统其他热键有冲突").arg(sequence.toString(QKeySequence::NativeText)));
}

void MainWindow::UnRegisterHotKey() {
  const QList<GlobalHotKey*> keys =
      findChildren<GlobalHotKey*>(kHotKeyObjectName, Qt::FindChildrenRecursively);
  for (GlobalHotKey* key : keys) {
    disconnect(key);
    key->setParent(nullptr);
    delete key;  // releases the system hot key
  }
}

void MainWindow::onHotKeyOfStartPause() { on_pushButton_clicked(); }

void MainWindow::onHotKeyOfStop() { StopRecording(); }
