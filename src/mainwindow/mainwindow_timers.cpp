// The tick timer (disk guard, desktop preview, schedule), the duration
// timer and the scheduled recording of the main window.

#include <QDateTime>
#include <QListWidget>

#include <glog/logging.h>

#include <algorithm>
#include <cstdlib>

#include "mainwindow/diskspace.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/scheduleclock.h"
#include "settings.h"
#include "ui_mainwindow.h"
#include "utils.h"
#include "widgets/messagedialog.h"

namespace {

// The scheduled task in whole seconds; false when none is stored.
struct ScheduleTask {
  int64_t start = 0;
  int64_t end = 0;  // 0: none
  uint64_t dur = 0;  // ticks after the start; 0: none
  int op = 0;
};

// The disk guard: the ticks over which the present write rate is taken, and
// the seconds of it that must still fit on the disk.
constexpr size_t kRateTicks = 5;
constexpr int64_t kSecondsOfRoom = 5;

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
    // Room for several seconds of what the disk loses per tick now, and
    // never less than the fixed minimum.
    const int64_t free = FreeDiskBytes(m_outputPath);
    if (free >= 0) m_freeBytes.push_back(free);
    if (m_freeBytes.size() > kRateTicks + 1) m_freeBytes.pop_front();
    int64_t perTick = 0;
    if (m_freeBytes.size() > 1)
      perTick = (m_freeBytes.front() - m_freeBytes.back()) /
                static_cast<int64_t>(m_freeBytes.size() - 1);
    const int64_t room = std::max(kMinFreeDiskBytes, kSecondsOfRoom * perTick);
    const bool belowMinimum = !HasEnoughDiskSpace();
    if (belowMinimum || (free >= 0 && free < room)) {
      LOG(WARNING) << "free disk space " << free << " bytes, below " << room
                   << ": stopping the recording";
      StopRecording();
      MessageDialog::ShowMessage(this, belowMinimum
                                           ? QStringLiteral("磁盘不足10M，停止录制")
                                           : QStringLiteral("磁盘空间即将用完，停止录制"));
    } else {
      recording = true;
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

  if (m_scheduleStartedAt != task.start && now >= task.start) {
    // A tick may miss a second: the start is taken up to two seconds late,
    // once per task, when nothing else records or starts.
    if (now > task.start + 2 || recording || m_recorder || m_starting) {
      LOG(WARNING) << "the scheduled start " << task.start << " was missed: schedule off";
      settings->SetRecordEnableRecordSchedule(false);
      TellUser(QStringLiteral("计划录制的开始时间已过，该计划录制已关闭"));
      return;
    }
    LOG(INFO) << "scheduled recording starts";
    m_scheduleTicks = 0;
    m_scheduleStartedAt = task.start;
    on_pushButton_clicked();
    m_scheduleRecording = m_recorder != nullptr;
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
  settings->SetRecordEnableRecordSchedule(false);
  // The task's end and its end action belong to the recording the task
  // started; a recording of the user's own, or none, is left alone.
  if (!m_scheduleRecording || !m_recorder) {
    if (task.op >= 1 && task.op <= 3)
      LOG(WARNING) << "the scheduled task has no recording of its own: end action " << task.op
                   << " skipped";
    return;
  }
  const bool endAction = task.op >= 1 && task.op <= 3;
  // Unattended: no box may hold the end action back.
  StopRecording(!endAction);
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
