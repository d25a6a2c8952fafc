#include <QKeySequence>

#include <glog/logging.h>

#include "mainwindow/mainwindow.h"
#include "platform/session_capabilities.h"
#include "settings.h"
#include "widgets/globalhotkey.h"

// The two system-wide hot keys of the main window.

namespace {
const char kHotKeyObjectName[] = "hotkey";
}

void MainWindow::RegisterHotKeys() {
  UnRegisterHotKey();
  AddHotKey(Settings::Instance()->GetRecordStartpausehotkey(), &MainWindow::onHotKeyOfStartPause);
  if (m_recorder)
    HoldStopHotKey(true);
  else
    ProbeStopHotKey();
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

// Asked for when the keys are set, so that a conflict is told then and not
// over the recording that holds the key.
void MainWindow::ProbeStopHotKey() {
  const std::pair<int, int> hotKey = Settings::Instance()->GetRecordStophotkey();
  const QKeySequence sequence(hotKey.second | hotKey.first);
  if (GlobalHotKey::Register(sequence)) {
    GlobalHotKey::Unregister(sequence);
    return;
  }
  ReportHotKeyConflict(hotKey, sequence);
}

GlobalHotKey* MainWindow::AddHotKey(std::pair<int, int> hotKey, void (MainWindow::*callback)()) {
  auto* key = new GlobalHotKey(this);
  key->setObjectName(kHotKeyObjectName);
  const QKeySequence sequence(hotKey.second | hotKey.first);
  if (key->SetShortcut(sequence)) {
    connect(key, &GlobalHotKey::activated, this, callback);
    return key;
  }
  // The refused object stays until the next UnRegisterHotKey.
  ReportHotKeyConflict(hotKey, sequence);
  return key;
}

void MainWindow::ReportHotKeyConflict(std::pair<int, int> hotKey, const QKeySequence& sequence) {
  // The session holds no hot keys for anyone: the start notice said so.
  if (!platform::GetSessionCapabilities().globalHotKeys) return;
  const QString text = sequence.toString(QKeySequence::NativeText);
  LOG(WARNING) << "hot key " << text.toStdString() << " is held by another program";
  // Each refused pair is told once.
  if (m_toldHotKeyConflicts.insert(hotKey).second)
    TellUser(QStringLiteral("%1与系统其他热键有冲突").arg(text));
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
