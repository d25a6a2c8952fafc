#include "settingsdialog/settingsdialog.h"

#include <glog/logging.h>

#include "settings.h"
#include "ui_settingsdialog.h"
#include "widgets/messagedialog.h"

void SettingsDialog::InitSchedulePage() {
  Settings* settings = Settings::Instance();
  m_ui->comboBox_behavior->addItem(QStringLiteral("不作任何操作"), 0);
  m_ui->comboBox_behavior->addItem(QStringLiteral("退出Korvo录屏"), 1);
  m_ui->comboBox_behavior->addItem(QStringLiteral("睡眠"), 2);
  m_ui->comboBox_behavior->addItem(QStringLiteral("关机"), 3);

  const bool on = settings->GetRecordEnableRecordSchedule();
  m_ui->checkBox_scheduleRecord->setChecked(on);
  if (on) {
    QDateTime start, end;
    uint64_t duration = 0;
    int action = 0;
    if (settings->GetRecordRecordTask(start, end, duration, action)) {
      // Fields the task leaves open show real times, not the form's 2000/1/1.
      if (!start.isValid()) start = QDateTime::currentDateTime().addSecs(10);
      m_ui->dateTimeEdit->setDateTime(start);
      m_ui->dateTimeEdit_2->setDateTime(start.addSecs(duration != 0 ? duration : 60));
      // The store keeps "no stop time" as 0.
      if (end.isValid() && end.toSecsSinceEpoch() != 0) {
        m_ui->dateTimeEdit_2->setDateTime(end);
        m_ui->radioButton_stoptime->setChecked(true);
      }
      if (duration != 0) {
        m_ui->radioButton_recorddruation->setChecked(true);
        m_ui->timeEdit->setTime(QTime(static_cast<int>(duration / 3600),
                                      static_cast<int>((duration % 3600) / 60),
                                      static_cast<int>((duration % 3600) % 60)));
      }
      m_ui->comboBox_behavior->setCurrentIndex(action);
    }
  } else {
    m_ui->radioButton_stoptime->setChecked(true);
    const QDateTime start = QDateTime::currentDateTime().addSecs(10);
    m_ui->dateTimeEdit->setDateTime(start);
    m_ui->dateTimeEdit_2->setDateTime(start.addSecs(60));
  }
  EnableScheduleControls(m_ui->checkBox_scheduleRecord->isChecked());
  connect(m_ui->checkBox_scheduleRecord, &QCheckBox::stateChanged, this,
          &SettingsDialog::onScheduleRecordStateChanged);
  const auto edited = [this] { m_scheduleEdited = true; };
  connect(m_ui->checkBox_scheduleRecord, &QCheckBox::stateChanged, this, edited);
  connect(m_ui->dateTimeEdit, &QDateTimeEdit::dateTimeChanged, this, edited);
  connect(m_ui->dateTimeEdit_2, &QDateTimeEdit::dateTimeChanged, this, edited);
  connect(m_ui->timeEdit, &QTimeEdit::timeChanged, this, edited);
  connect(m_ui->radioButton_stoptime, &QRadioButton::toggled, this, edited);
  connect(m_ui->radioButton_recorddruation, &QRadioButton::toggled, this, edited);
  connect(m_ui->comboBox_behavior, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          edited);
}

void SettingsDialog::EnableScheduleControls(bool on) {
  m_ui->dateTimeEdit->setEnabled(on);
  m_ui->dateTimeEdit_2->setEnabled(on);
  m_ui->timeEdit->setEnabled(on);
  m_ui->comboBox_behavior->setEnabled(on);
  m_ui->radioButton_stoptime->setEnabled(on);
  m_ui->radioButton_recorddruation->setEnabled(on);
}

void SettingsDialog::onScheduleRecordStateChanged(int state) {
  EnableScheduleControls(state != 0);
}

bool SettingsDialog::ReadScheduleTask(ScheduleTask* task) {
  task->start = m_ui->dateTimeEdit->dateTime();
  if (task->start <= QDateTime::currentDateTime()) {
    MessageDialog::ShowMessage(this, QStringLiteral("计划录制开始时间不能小于等于当前时间!"));
    return false;
  }
  task->end = QDateTime();
  task->duration = 0;
  if (m_ui->radioButton_stoptime->isChecked()) {
    task->end = m_ui->dateTimeEdit_2->dateTime();
    if (task->end <= task->start) {
      MessageDialog::ShowMessage(this, QStringLiteral("计划录制结束时间不能小于等于开始时间!"));
      return false;
    }
  } else {
    const QTime time = m_ui->timeEdit->time();
    task->duration =
        static_cast<uint64_t>(time.hour()) * 3600 + time.minute() * 60 + time.second();
    LOG(INFO) << "record duration is " << task->duration;
    // A recording without a stop time and without a length would never stop.
    if (task->duration == 0) {
      MessageDialog::ShowMessage(this, QStringLiteral("计划录制时长不能为0!"));
      return false;
    }
  }
  task->action = m_ui->comboBox_behavior->currentData().toInt();
  return true;
}

void SettingsDialog::SaveSchedulePage(const ScheduleTask& task) {
  Settings* settings = Settings::Instance();
  const bool on = m_ui->checkBox_scheduleRecord->isChecked();
  // The flag goes on only together with the task it runs.
  if (on) settings->SetRecordRecordTask(task.start, task.end, task.duration, task.action);
  settings->SetRecordEnableRecordSchedule(on);
}
