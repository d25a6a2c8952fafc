#include "settingsdialog/settingsdialog.h"

#include <QKeySequence>

#include "settings.h"
#include "settingsdialog/settingsdialogevents.h"
#include "ui_settingsdialog.h"
#include "utils_ui.h"
#include "widgets/globalhotkey.h"

void SettingsDialog::FillModifierCombo(QComboBox* combo) {
  if (!combo) return;
  combo->addItem("CTRL", static_cast<int>(Qt::ControlModifier));
  combo->addItem("SHIFT", static_cast<int>(Qt::ShiftModifier));
  combo->addItem("ALT", static_cast<int>(Qt::AltModifier));
}

void SettingsDialog::FillKeyCombo(QComboBox* combo) {
  for (int key = Qt::Key_0; key <= Qt::Key_9; ++key) combo->addItem(QString(QChar(key)), key);
  for (int key = Qt::Key_A; key <= Qt::Key_Z; ++key) combo->addItem(QString(QChar(key)), key);
}

QString SettingsDialog::ModifierName(int modifier) {
  switch (modifier) {
    case Qt::ShiftModifier:
      return "SHIFT";
    case Qt::ControlModifier:
      return "CTRL";
    case Qt::AltModifier:
      return "ALT";
    default:
      return "";
  }
}

QString SettingsDialog::KeyName(int key) {
  if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z))
    return QString(QChar(key));
  return "";
}

void SettingsDialog::SelectHotKey(QComboBox* modifierCombo, QComboBox* keyCombo, int modifier,
                                  int key) {
  if (modifier == 0 || key == Qt::Key_unknown) return;
  modifierCombo->setCurrentText(ModifierName(modifier));
  keyCombo->setCurrentText(KeyName(key));
}

void SettingsDialog::InitHotKeyPage() {
  Settings* settings = Settings::Instance();
  FillModifierCombo(m_ui->comboBox_5);
  FillKeyCombo(m_ui->comboBox_6);
  m_startPauseHotKey = settings->GetRecordStartpausehotkey();
  SelectHotKey(m_ui->comboBox_5, m_ui->comboBox_6, m_startPauseHotKey.first,
               m_startPauseHotKey.second);
  FillModifierCombo(m_ui->comboBox_7);
  FillKeyCombo(m_ui->comboBox_8);
  m_stopHotKey = settings->GetRecordStophotkey();
  SelectHotKey(m_ui->comboBox_7, m_ui->comboBox_8, m_stopHotKey.first, m_stopHotKey.second);

  const auto changed = QOverload<int>::of(&QComboBox::currentIndexChanged);
  connect(m_ui->comboBox_5, changed, this, &SettingsDialog::on_StartPauseHotKeyChanged);
  connect(m_ui->comboBox_6, changed, this, &SettingsDialog::on_StartPauseHotKeyChanged);
  connect(m_ui->comboBox_7, changed, this, &SettingsDialog::on_StopHotKeyChanged);
  connect(m_ui->comboBox_8, changed, this, &SettingsDialog::on_StopHotKeyChanged);
}

void SettingsDialog::on_StartPauseHotKeyChanged(int) { ChangeHotKey(true); }

void SettingsDialog::on_StopHotKeyChanged(int) { ChangeHotKey(false); }

void SettingsDialog::ChangeHotKey(bool startPause) {
  QLabel* mark = startPause ? m_ui->label_11 : m_ui->label_12;
  QComboBox* modifierCombo = startPause ? m_ui->comboBox_5 : m_ui->comboBox_7;
  QComboBox* keyCombo = startPause ? m_ui->comboBox_6 : m_ui->comboBox_8;
  mark->clear();
  const int modifier = modifierCombo->currentData().toInt();
  const int key = keyCombo->currentData().toInt();
  const QKeySequence sequence(modifier | key);
  // Back to the row's own key, which the program itself holds.
  const std::pair<int, int> own = startPause ? m_startPauseHotKey : m_stopHotKey;
  if (own == std::make_pair(modifier, key)) return;
  if (!IsHotKeyFree(startPause, sequence)) {
    mark->setText(QStringLiteral("热键无效"));
    return;
  }
  (startPause ? m_startPauseHotKey : m_stopHotKey) = {modifier, key};
  SaveHotKeys();
  RegisterMainWindowHotKeys();
}

bool SettingsDialog::IsHotKeyFree(bool startPause, const QKeySequence& sequence) {
  // The other row's key is taken even while the main window does not hold
  // it (the stop key is held only while recording).
  const std::pair<int, int> other = startPause ? Settings::Instance()->GetRecordStophotkey()
                                               : Settings::Instance()->GetRecordStartpausehotkey();
  if (QKeySequence(other.first | other.second) == sequence) return false;
  // Free when the system lets us hold it; this program's own keys count as
  // taken too.
  if (!GlobalHotKey::Register(sequence)) return false;
  GlobalHotKey::Unregister(sequence);
  return true;
}

void SettingsDialog::RegisterMainWindowHotKeys() {
  HotKeysChangedEvent changed;
  SendToMainWindow(&changed);
}

// The last accepted pair of each row, not what the combos show: a refused
// pair stays on screen with its mark but is never stored.
void SettingsDialog::SaveHotKeys() {
  Settings* settings = Settings::Instance();
  settings->SetRecordStartpausehotkey(m_startPauseHotKey.first, m_startPauseHotKey.second);
  settings->SetRecordStophotkey(m_stopHotKey.first, m_stopHotKey.second);
}
