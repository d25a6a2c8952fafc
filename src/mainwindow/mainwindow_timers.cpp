// The tick timer (disk guard, desktop preview, schedule), the duration
// timer and the scheduled recording of the main window.

#include <QDateTime>
#include <QListWidget>

#include <glog/logging.h>

#include <cstdlib>

#include "mainwindow/mainwindow.h"
#include "mainwindow/messagedialog.h"
#include "mainwindow/scheduleclock.h"
#include "settings.h"
#include "ui_mainwindow.h"
#include "utils.h"

namespace {

// The scheduled task in whole seconds; false when none is stored.
struct ScheduleTask {
  int64_t start = 0;
  int64_t end = 0;  // 0: none
  uint64_t dur = 0;  // ticks after the start; 0: none
  int op = 0;
};

bool ReadScheduleTask(ScheduleTask& task) {
  QDateTime start, end;
  if (!Settings::Instance()->GetRecordRecordTask(start, end, task.dur, task.op)) return false;
  task.start = start.toSecsSinceEpoch();
  task.end = end.toSecsSinceEpoch();
  return true;
}

}  // namespace

void MainWindow::onTimer() {
  bool recording = false;
  if (IsRecording()) {
    if (HasEnoughDiskSpace()) {
      recording = true;
    } else {
      LOG(WARNING) << "free disk space below 10 MiB, stopping the recording";
      StopRecording();
      MessageDialog::ShowMessage(this, QStringLiteral("磁盘不足10M，停止录制"));
    }
  } else if (m_ui->listWidget_sidebar->currentRow() == 0 && isVisible() && !isMinimized()) {
    // Only a preview that can be seen is worth a grab of the screen.
    UpdateScreenshot();
  }
  if (Settings::Instance()->GetRecordEnableRecordSchedule()) CheckRecordSchedule(recording);
}

void MainWindow::onDurationTimer() {
  ++m_elapsedSeconds;
  const QString text = FormatDuration(m_elapsedSeconds);
  m_ui->label_duration->setText(text);
  m_statusBar.SetTimeText(text);
}

void MainWindow::CheckRecordSchedule(bool recording) {
  Settings* settings = Settings::Instance();
  ScheduleTask task;
  if (!settings->GetRecordEnableRecordSchedule() || !ReadScheduleTask(task)) return;
  const int64_t now = scheduleclock::NowSeconds();

  // A tick may miss a second: the start is taken up to two seconds late,
  // once per task.
  if (!recording && now >= task.start && now <= task.start + 2 &&
      m_scheduleStartedAt != task.start) {
    LOG(INFO) << "scheduled recording starts";
    m_scheduleTicks = 0;
    m_scheduleStartedAt = task.start;
    on_pushButton_clicked();
  }

  bool stop = false;
  if (task.end != 0) {
    stop = now >= task.end;
  } else if (task.dur != 0 && task.start < now) {
    stop = m_scheduleTicks == task.dur;
    ++m_scheduleTicks;
  }
  if (!stop) return;

  LOG(INFO) << "scheduled recording ends, action " << task.op;
  const bool endAction = task.op >= 1 && task.op <= 3;
  // The end action follows only a stop that ends a recording: a task that
  // recorded nothing (its start passed while the program was closed, or
  // the start failed) must not exit, hibernate or shut the machine down.
  const bool recorded = m_recorder != nullptr;
  // Unattended: no box may hold the end action back.
  StopRecording(!endAction);
  settings->SetRecordEnableRecordSchedule(false);
  if (!recorded) {
    if (endAction)
      LOG(WARNING) << "scheduled task ended with nothing recorded, end action " << task.op
                   << " skipped";
    return;
  }
  switch (task.op) {
    case 1:
      // A read syncs the store, so the switched-off schedule reaches the
      // disk before the process ends without unwinding.
      settings->GetRecordEnableRecordSchedule();
      google::FlushLogFiles(google::GLOG_INFO);
      std::_Exit(0);
    case 2:
      HibernateSystem();
      break;
    case 3:
      ShutdownSystem();
      break;
    default:
      break;
  }
}

void MainWindow::CheckScheduleOnStop() {
  ScheduleTask task;
  if (!ReadScheduleTask(task)) return;
  const int64_t now = scheduleclock::NowSeconds();
  if (task.start >= now) return;
  const bool beforeEnd = task.end != 0 && now <= task.end;
  const bool withinDuration = task.end == 0 && task.dur != 0 && m_scheduleTicks <= task.dur;
  if (beforeEnd || withinDuration) Settings::Instance()->SetRecordEnableRecordSchedule(false);
}
