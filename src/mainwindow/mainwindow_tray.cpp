#include <QKeySequence>

#include <glog/logging.h>

#include "mainwindow/globalhotkey.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/messagedialog.h"
#include "platform/session_capabilities.h"
#include "settings.h"

// The two system-wide hot keys of the main window.

namespace {
const char kHotKeyObjectName[] = "hotkey";
}

void MainWindow::RegisterHotKeys() {
  UnRegisterHotKey();
  AddHotKey(Settings::Instance()->GetRecordStartpausehotkey(), &MainWindow::onHotKeyOfStartPause);
  if (m_recorder) HoldStopHotKey(true);
}

// The stop key is held only while a recording exists: idle, other programs
// get it (Shift+S would otherwise swallow every capital S).
void MainWindow::HoldStopHotKey(bool hold) {
  if (m_stopHotKey) {
    disconnect(m_stopHotKey);
    delete m_stopHotKey.data();
  }
  if (hold)
    m_stopHotKey = AddHotKey(Settings::Instance()->GetRecordStophotkey(), &MainWindow::onHotKeyOfStop);
}

GlobalHotKey* MainWindow::AddHotKey(std::pair<int, int> hotKey, void (MainWindow::*callback)()) {
  auto* key = new GlobalHotKey(this);
  key->setObjectName(kHotKeyObjectName);
  const QKeySequence sequence(hotKey.second | hotKey.first);
  if (key->SetShortcut(sequence)) {
    connect(key, &GlobalHotKey::activated, this, callback);
    return key;
  }
  // The session holds no hot keys for anyone: the start notice said so.
  if (!platform::GetSessionCapabilities().globalHotKeys) return key;
  // The refused object stays until the next UnRegisterHotKey. Each refused
  // pair is told once: the stop key is asked for at every start.
  const QString text = sequence.toString(QKeySequence::NativeText);
  LOG(WARNING) << "hot key " << text.toStdString() << " is held by another program";
  if (m_toldHotKeyConflicts.insert(hotKey).second)
    MessageDialog::ShowMessage(this, QStringLiteral("%1与系统其他热键有冲突").arg(text));
  return key;
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
