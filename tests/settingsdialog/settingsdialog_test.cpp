#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTimeEdit>
#include <QUrl>

#include <memory>

#include "dialogtestenv.h"
#include "mainwindow/mainwindow.h"
#include "platform/fake/fake_monitors.h"
#include "platform/monitors.h"
#include "settingsdialog/settingsdialog.h"
#include "settingsdialog/settingsdialogevents.h"
#include "settingsdialog/watermarkpreviewer.h"

namespace {

using dialogtest::DialogTest;

// Counts the folder-change events that reach a window.
class ReloadCounter : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == MediaFilesReloadEvent::kType) ++count;
    return false;
  }
};

class SettingsDialogTest : public DialogTest {
 protected:
  // Shows the dialog the way a user sees it.
  static void Show(SettingsDialog& dialog) {
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  }

  static void ClickClose(SettingsDialog& dialog) {
    QTest::mouseClick(Child<QPushButton>(&dialog, "ButtonClose"), Qt::LeftButton);
  }

  static void ShowRow(SettingsDialog& dialog, int row) {
    auto* list = Child<QListView>(&dialog, "listView");
    const QRect r = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  }

  // The next message box: its text is kept in *text, then OK is clicked.
  static void AnswerMessage(QString* text) {
    OnModal([text](QWidget* modal) {
      *text = modal->findChild<QLabel*>("label")->text();
      QTest::mouseClick(modal->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    });
  }
};

TEST_F(SettingsDialogTest, OpensOnTheFirstOfTenPages) {
  SettingsDialog dialog(nullptr);
  EXPECT_EQ(dialog.size(), QSize(656, 452));
  auto* list = Child<QListView>(&dialog, "listView");
  auto* stack = Child<QStackedWidget>(&dialog, "stackedWidget");
  const char* names[] = {"通用", "录制", "计划录制", "视频设备", "音频设备",
                         "水印", "键盘设置", "鼠标设置", "快捷键", "关于"};
  ASSERT_EQ(list->model()->rowCount(), 10);
  ASSERT_EQ(stack->count(), 10);
  for (int row = 0; row < 10; ++row) {
    EXPECT_EQ(list->model()->index(row, 0).data().toString(), QString::fromUtf8(names[row]));
    EXPECT_FALSE(list->model()->flags(list->model()->index(row, 0)) & Qt::ItemIsEditable);
  }
  EXPECT_EQ(list->currentIndex().row(), 0);
  EXPECT_EQ(stack->currentIndex(), 0);

  QLabel* title = Child<QLabel>(&dialog, "TitleContent");
  EXPECT_EQ(title->text(), QStringLiteral("设置"));
  EXPECT_EQ(title->parentWidget()->width(), 656);
  EXPECT_TRUE(Child<QPushButton>(&dialog, "ButtonMin")->isHidden());
  EXPECT_EQ(Child<QLabel>(&dialog, "label_version")->text(), "1.0.8.082600");

  Show(dialog);
  ShowRow(dialog, 8);
  EXPECT_EQ(stack->currentWidget()->objectName(), "page_3");
  ShowRow(dialog, 2);
  EXPECT_EQ(stack->currentWidget()->objectName(), "page_6");
}

TEST_F(SettingsDialogTest, SelectedRowIsDrawnOnALightBandFromAFifthOfItsWidth) {
  SettingsDialog dialog(nullptr);
  Show(dialog);
  auto* list = Child<QListView>(&dialog, "listView");
  const QRect selected = list->visualRect(list->model()->index(0, 0));
  const QRect other = list->visualRect(list->model()->index(1, 0));
  EXPECT_EQ(selected.height(), 40);
  const QImage image = list->viewport()->grab().toImage();
  const int y = selected.top() + 3;  // above the text
  const int band = selected.width() / 5;
  EXPECT_EQ(QColor(image.pixel(band + 2, y)), QColor(245, 245, 245));
  EXPECT_EQ(QColor(image.pixel(selected.width() - 2, y)), QColor(245, 245, 245));
  EXPECT_EQ(QColor(image.pixel(2, other.top() + 3)), QColor(226, 226, 226));
  EXPECT_EQ(QColor(image.pixel(band + 2, other.top() + 3)), QColor(226, 226, 226));
}

TEST_F(SettingsDialogTest, LoadsEveryPageFromTheStore) {
  Settings* s = settings();
  s->SetGeneralHideWhenRecord(true);
  s->SetRecordAutorun(false);
  s->SetGeneralNocapWndWhenRecord(true);
  s->SetGeneralHideDesktopIcon(true);
  s->SetGeneralHideTaskbar(false);
  s->SetGeneralRecordStatusBar(true);
  s->SetGeneralHidewhenclose(false);
  s->SetRecordVideoframerate(29.97);
  s->SetRecordQp(-40);
  s->SetRecordAudiobitrate(192);
  s->SetRecordAudiofrequency(44100);
  s->SetGeneralFilesaveurl("/tmp/recordings here");
  s->SetRecordFilesegment(1);
  s->SetRecordFsduration(15);
  s->SetRecordFssize(700);
  s->SetWatermarkText("korvo");
  s->SetKeymouseShowkeystroke(false);
  s->SetKeymouseShowcombinekey(true);
  s->SetKeymouseShowcommonkey(false);
  s->SetKeymouseBackgroundopacity(70);
  s->SetGeneralRecordmouse(false);
  s->SetKeymouseHighlight(true);
  s->SetKeymouseHaloDiameter(33);
  s->SetRecordStartpausehotkey(Qt::ControlModifier, Qt::Key_W);
  s->SetRecordStophotkey(Qt::AltModifier, Qt::Key_7);

  SettingsDialog dialog(nullptr);
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>(&dialog, "checkBox_3")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_nocapturelocalwnd")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_hide_desktop_icon")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>(&dialog, "checkBox_hide_task_bar")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_record_status")->isChecked());
  EXPECT_FALSE(Child<QRadioButton>(&dialog, "radioButton")->isChecked());
  EXPECT_TRUE(Child<QRadioButton>(&dialog, "radioButton_2")->isChecked());

  auto* rate = Child<QComboBox>(&dialog, "comboBox");
  EXPECT_EQ(rate->count(), 10);
  EXPECT_EQ(rate->currentText(), "29.97fps");
  EXPECT_EQ(rate->itemData(3).type(), QVariant::Double);
  EXPECT_EQ(rate->itemData(5).type(), QVariant::Int);
  auto* quality = Child<QSlider>(&dialog, "imageQualitySlider");
  EXPECT_EQ(quality->minimum(), -51);
  EXPECT_EQ(quality->maximum(), 0);
  EXPECT_EQ(quality->value(), -40);
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_2")->currentText(), "192kbps");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_3")->currentText(), "44100Hz");
  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit")->text(), "/tmp/recordings here");
  EXPECT_TRUE(Child<QLineEdit>(&dialog, "lineEdit")->isReadOnly());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_segment")->isChecked());
  EXPECT_TRUE(Child<QRadioButton>(&dialog, "radioButton_3")->isChecked());
  EXPECT_TRUE(Child<QLineEdit>(&dialog, "lineEdit_2")->isEnabled());
  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit_2")->text(), "15");
  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit_3")->text(), "700");

  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit_textwatermark")->text(), "korvo");
  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit_textwatermark")->maxLength(), 40);

  EXPECT_FALSE(Child<QCheckBox>(&dialog, "checkBox_4")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_5")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>(&dialog, "checkBox_5")->isEnabled());  // display is off
  EXPECT_FALSE(Child<QPushButton>(&dialog, "pushButton_7")->isEnabled());
  EXPECT_EQ(Child<QSlider>(&dialog, "horizontalSlider")->value(), 70);

  EXPECT_FALSE(Child<QCheckBox>(&dialog, "checkBox_2")->isChecked());
  EXPECT_TRUE(Child<QCheckBox>(&dialog, "checkBox_8")->isChecked());
  auto* halo = Child<QComboBox>(&dialog, "comboBox_10");
  EXPECT_EQ(halo->count(), 36);
  EXPECT_EQ(halo->currentText(), "33");

  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_5")->currentText(), "CTRL");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_6")->currentText(), "W");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_7")->currentText(), "ALT");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_8")->currentText(), "7");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_6")->count(), 36);
}

TEST_F(SettingsDialogTest, CloseButtonSavesEveryPage) {
  settings()->SetRecordEnableRecordSchedule(false);
  SettingsDialog dialog(nullptr);
  Show(dialog);
  Child<QCheckBox>(&dialog, "checkBox")->setChecked(true);
  Child<QCheckBox>(&dialog, "checkBox_hide_task_bar")->setChecked(true);
  Child<QCheckBox>(&dialog, "checkBox_record_status")->setChecked(false);
  Child<QCheckBox>(&dialog, "checkBox_3")->setChecked(false);
  Child<QRadioButton>(&dialog, "radioButton_2")->setChecked(true);
  Child<QComboBox>(&dialog, "comboBox")->setCurrentText("23.976fps");
  Child<QSlider>(&dialog, "imageQualitySlider")->setValue(-7);
  Child<QComboBox>(&dialog, "comboBox_2")->setCurrentText("320kbps");
  Child<QComboBox>(&dialog, "comboBox_3")->setCurrentText("96000Hz");
  // Segmenting on with neither radio button checked means by size.
  Child<QCheckBox>(&dialog, "checkBox_segment")->setChecked(true);
  Child<QLineEdit>(&dialog, "lineEdit_2")->setText("45");
  Child<QCheckBox>(&dialog, "checkBox_7")->setChecked(true);
  Child<QLineEdit>(&dialog, "lineEdit_textwatermark")->setText("mark");
  Child<QCheckBox>(&dialog, "checkBox_4")->setChecked(true);
  Child<QCheckBox>(&dialog, "checkBox_6")->setChecked(true);
  Child<QSlider>(&dialog, "horizontalSlider")->setValue(55);
  Child<QCheckBox>(&dialog, "checkBox_2")->setChecked(false);
  Child<QCheckBox>(&dialog, "checkBox_8")->setChecked(true);
  Child<QComboBox>(&dialog, "comboBox_10")->setCurrentText("42");

  ClickClose(dialog);
  EXPECT_FALSE(dialog.isVisible());

  Settings* s = settings();
  EXPECT_TRUE(s->GetGeneralHideWhenRecord());
  EXPECT_TRUE(s->GetGeneralHideTaskbar());
  EXPECT_FALSE(s->GetGeneralRecordStatusBar());
  EXPECT_FALSE(s->GetRecordAutorun());
  EXPECT_FALSE(s->GetGeneralHidewhenclose());
  EXPECT_DOUBLE_EQ(s->GetRecordVideoframerate(), 23.976);
  EXPECT_EQ(s->GetRecordQp(), -7);
  EXPECT_EQ(s->GetRecordAudiobitrate(), 320u);
  EXPECT_EQ(s->GetRecordAudiofrequency(), 96000u);
  EXPECT_EQ(s->GetRecordFilesegment(), 2);
  EXPECT_EQ(s->GetRecordFsduration(), 45u);
  EXPECT_EQ(s->GetRecordFssize(), 100u);  // nothing stored: the default shown
  EXPECT_TRUE(s->GetRecordCameraSwitch());
  EXPECT_EQ(s->GetWatermarkText(), "mark");
  double x = -1, y = -1;
  ASSERT_TRUE(s->GetWatermarkPos(x, y));
  EXPECT_GT(x, 0.4);
  EXPECT_LT(x, 0.6);
  EXPECT_TRUE(s->GetKeymouseShowkeystroke());
  EXPECT_TRUE(s->GetKeymouseShowcommonkey());
  EXPECT_EQ(s->GetKeymouseBackgroundopacity(), 55);
  EXPECT_FALSE(s->GetKeymouseDisplayscreen().isEmpty());
  EXPECT_FALSE(s->GetGeneralRecordmouse());
  EXPECT_TRUE(s->GetKeymouseHighlight());
  EXPECT_EQ(s->GetKeymouseHaloDiameter(), 42);
  // Hot keys: the last accepted pairs, here the store's defaults.
  EXPECT_EQ(s->GetRecordStartpausehotkey(), std::make_pair(int(Qt::AltModifier), int(Qt::Key_9)));
  EXPECT_EQ(s->GetRecordStophotkey(), std::make_pair(int(Qt::ShiftModifier), int(Qt::Key_S)));
}

TEST_F(SettingsDialogTest, UnknownStoredValuesFallBackToTheFirstItems) {
  Settings* s = settings();
  s->SetRecordVideoframerate(17);
  s->SetRecordAudiobitrate(100);
  s->SetKeymouseHaloDiameter(99);
  s->SetKeymouseDisplayscreen("no such monitor");
  s->SetRecordStartpausehotkey(0, Qt::Key_A);
  s->SetRecordStophotkey(Qt::ShiftModifier, Qt::Key_F5);
  s->SetWatermarkText("");
  s->SetWatermarkPos(0.25, 0.75);

  SettingsDialog dialog(nullptr);
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox")->currentText(), "5fps");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_2")->currentText(), "64kbps");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_10")->currentText(), "15");
  auto* screen = Child<QComboBox>(&dialog, "comboBox_4");
  ASSERT_EQ(screen->count(), static_cast<int>(platform::GetMonitors().List().size()));
  EXPECT_EQ(screen->currentIndex(), 0);
  EXPECT_EQ(s->GetKeymouseDisplayscreen(), "no such monitor");  // filling stored nothing
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_5")->currentText(), "CTRL");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_6")->currentText(), "0");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_7")->currentText(), "SHIFT");
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_8")->currentText(), "0");

  ASSERT_TRUE(dialog.SaveSettings());
  EXPECT_DOUBLE_EQ(s->GetRecordVideoframerate(), 5);
  EXPECT_EQ(s->GetRecordAudiobitrate(), 64u);
  EXPECT_EQ(s->GetKeymouseHaloDiameter(), 15);
  EXPECT_EQ(s->GetKeymouseDisplayscreen(), screen->itemText(0));
  // An empty watermark text leaves the stored position alone.
  double x = 0, y = 0;
  ASSERT_TRUE(s->GetWatermarkPos(x, y));
  EXPECT_DOUBLE_EQ(x, 0.25);
  EXPECT_DOUBLE_EQ(y, 0.75);
}

TEST_F(SettingsDialogTest, SegmentAndKeyboardControlsFollowTheirSwitches) {
  settings()->SetRecordFilesegment(0);
  settings()->SetKeymouseShowkeystroke(false);
  SettingsDialog dialog(nullptr);
  auto* segment = Child<QCheckBox>(&dialog, "checkBox_segment");
  auto* minutes = Child<QLineEdit>(&dialog, "lineEdit_2");
  EXPECT_FALSE(segment->isChecked());
  EXPECT_FALSE(minutes->isEnabled());
  EXPECT_FALSE(Child<QRadioButton>(&dialog, "radioButton_4")->isEnabled());
  // Nothing stored: the defaults, not 0 (which would never split).
  EXPECT_EQ(minutes->text(), "30");
  EXPECT_EQ(Child<QLineEdit>(&dialog, "lineEdit_3")->text(), "100");
  segment->setChecked(true);
  EXPECT_TRUE(minutes->isEnabled());
  EXPECT_TRUE(Child<QRadioButton>(&dialog, "radioButton_4")->isEnabled());

  // Typed input is a whole number 1 to 9999 without a leading zero.
  minutes->clear();
  QTest::keyClicks(minutes, "0120345");
  EXPECT_EQ(minutes->text(), "1203");

  auto* show = Child<QCheckBox>(&dialog, "checkBox_4");
  show->setChecked(true);
  for (const char* name : {"checkBox_5", "checkBox_6", "horizontalSlider", "comboBox_4",
                           "pushButton_5", "pushButton_6", "pushButton_7"})
    EXPECT_TRUE(Child<QWidget>(&dialog, name)->isEnabled()) << name;
  show->setChecked(false);
  EXPECT_FALSE(Child<QWidget>(&dialog, "comboBox_4")->isEnabled());
  EXPECT_TRUE(show->isEnabled());
}

// An emptied segment field would never split the file: refused on close.
TEST_F(SettingsDialogTest, EmptySegmentValueIsRefused) {
  SettingsDialog dialog(nullptr);
  Show(dialog);
  ShowRow(dialog, 1);
  QTest::mouseClick(Child<QCheckBox>(&dialog, "checkBox_segment"), Qt::LeftButton);
  QTest::mouseClick(Child<QRadioButton>(&dialog, "radioButton_3"), Qt::LeftButton);
  auto* minutes = Child<QLineEdit>(&dialog, "lineEdit_2");
  minutes->setFocus();
  QTest::keyClick(minutes, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(minutes, Qt::Key_Backspace);
  QString message;
  AnswerMessage(&message);
  ClickClose(dialog);
  EXPECT_EQ(message, QStringLiteral("每段录制时间不能为0!"));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(settings()->GetRecordFilesegment(), 0);

  QTest::keyClicks(minutes, "5");
  ClickClose(dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(settings()->GetRecordFilesegment(), 1);
  EXPECT_EQ(settings()->GetRecordFsduration(), 5u);
  EXPECT_EQ(settings()->GetRecordFssize(), 100u);
}

TEST_F(SettingsDialogTest, ScheduleOffShowsAStartInTheFutureAndAStopAMinuteLater) {
  settings()->SetRecordEnableRecordSchedule(false);
  const QDateTime before = QDateTime::currentDateTime();
  SettingsDialog dialog(nullptr);
  const QDateTime start = Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->dateTime();
  const QDateTime stop = Child<QDateTimeEdit>(&dialog, "dateTimeEdit_2")->dateTime();
  EXPECT_GT(start, before);
  EXPECT_EQ(start.secsTo(stop), 60);
  EXPECT_TRUE(Child<QRadioButton>(&dialog, "radioButton_stoptime")->isChecked());
  EXPECT_FALSE(Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->isEnabled());
  auto* behaviour = Child<QComboBox>(&dialog, "comboBox_behavior");
  ASSERT_EQ(behaviour->count(), 4);
  EXPECT_EQ(behaviour->itemText(1), QStringLiteral("退出Korvo录屏"));
  EXPECT_EQ(behaviour->itemData(3).toInt(), 3);
  Child<QCheckBox>(&dialog, "checkBox_scheduleRecord")->setChecked(true);
  EXPECT_TRUE(Child<QTimeEdit>(&dialog, "timeEdit")->isEnabled());
}

TEST_F(SettingsDialogTest, StoredScheduleIsShownAndADurationRecordHasNoStopTime) {
  const QDateTime start = QDateTime::currentDateTime().addDays(1);
  settings()->SetRecordEnableRecordSchedule(true);
  settings()->SetRecordRecordTask(start, QDateTime(), 3725, 2);
  SettingsDialog dialog(nullptr);
  EXPECT_EQ(Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->dateTime().toSecsSinceEpoch(),
            start.toSecsSinceEpoch());
  EXPECT_TRUE(Child<QRadioButton>(&dialog, "radioButton_recorddruation")->isChecked());
  EXPECT_FALSE(Child<QRadioButton>(&dialog, "radioButton_stoptime")->isChecked());
  EXPECT_EQ(Child<QTimeEdit>(&dialog, "timeEdit")->time(), QTime(1, 2, 5));
  // The stored "no stop time" (0) shows when the duration ends, not 1970
  // nor the form's 2000/1/1.
  EXPECT_EQ(Child<QDateTimeEdit>(&dialog, "dateTimeEdit_2")->dateTime().toSecsSinceEpoch(),
            start.toSecsSinceEpoch() + 3725);
  EXPECT_EQ(Child<QComboBox>(&dialog, "comboBox_behavior")->currentIndex(), 2);
}

// Closing with a bad schedule: the message, the dialog stays, and nothing is
// written. Left with Esc, the old task stays off, so its end action (here:
// shut down) never runs with nothing recorded.
TEST_F(SettingsDialogTest, BadScheduleRefusesToCloseAndStoresNothing) {
  MainWindow window;  // the schedule is saved only beside a main window
  const QDateTime yesterday = QDateTime::currentDateTime().addDays(-1);
  settings()->SetRecordRecordTask(yesterday, yesterday.addSecs(60), 0, 3);
  settings()->SetRecordEnableRecordSchedule(false);
  settings()->SetRecordQp(-30);
  SettingsDialog dialog(nullptr);
  Show(dialog);
  Child<QSlider>(&dialog, "imageQualitySlider")->setValue(-12);
  ShowRow(dialog, 2);
  QTest::mouseClick(Child<QCheckBox>(&dialog, "checkBox_scheduleRecord"), Qt::LeftButton);
  auto* start = Child<QDateTimeEdit>(&dialog, "dateTimeEdit");
  auto* stop = Child<QDateTimeEdit>(&dialog, "dateTimeEdit_2");
  start->setDateTime(QDateTime::currentDateTime().addSecs(-5));
  Child<QLineEdit>(&dialog, "lineEdit_textwatermark")->setText("after");

  QString message;
  AnswerMessage(&message);
  ClickClose(dialog);
  EXPECT_EQ(message, QStringLiteral("计划录制开始时间不能小于等于当前时间!"));
  EXPECT_TRUE(dialog.isVisible());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(settings()->GetRecordEnableRecordSchedule());
  EXPECT_EQ(settings()->GetRecordQp(), -30);
  EXPECT_EQ(settings()->GetWatermarkText(), "");
  QDateTime a, b;
  uint64_t d = 0;
  int op = 0;
  ASSERT_TRUE(settings()->GetRecordRecordTask(a, b, d, op));
  EXPECT_EQ(a.toSecsSinceEpoch(), yesterday.toSecsSinceEpoch());
  EXPECT_EQ(op, 3);

  Show(dialog);
  const QDateTime future = QDateTime::currentDateTime().addDays(2);
  start->setDateTime(future);
  stop->setDateTime(future);
  message.clear();
  AnswerMessage(&message);
  ClickClose(dialog);
  EXPECT_EQ(message, QStringLiteral("计划录制结束时间不能小于等于开始时间!"));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(settings()->GetRecordEnableRecordSchedule());

  stop->setDateTime(future.addSecs(3600));
  Child<QComboBox>(&dialog, "comboBox_behavior")->setCurrentIndex(1);
  ClickClose(dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(settings()->GetRecordEnableRecordSchedule());
  ASSERT_TRUE(settings()->GetRecordRecordTask(a, b, d, op));
  EXPECT_EQ(a.toSecsSinceEpoch(), future.toSecsSinceEpoch());
  EXPECT_EQ(b.toSecsSinceEpoch(), future.addSecs(3600).toSecsSinceEpoch());
  EXPECT_EQ(d, 0u);
  EXPECT_EQ(op, 1);
  EXPECT_EQ(settings()->GetRecordQp(), -12);
  EXPECT_EQ(settings()->GetWatermarkText(), "after");
}

// A zero duration would never stop: refused like a past start.
TEST_F(SettingsDialogTest, DurationScheduleIsStoredWithoutEndAndNeverZero) {
  MainWindow window;
  SettingsDialog dialog(nullptr);
  Show(dialog);
  ShowRow(dialog, 2);
  QTest::mouseClick(Child<QCheckBox>(&dialog, "checkBox_scheduleRecord"), Qt::LeftButton);
  const QDateTime start = QDateTime::currentDateTime().addSecs(3600);
  Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->setDateTime(start);
  QTest::mouseClick(Child<QRadioButton>(&dialog, "radioButton_recorddruation"), Qt::LeftButton);
  auto* duration = Child<QTimeEdit>(&dialog, "timeEdit");
  duration->setTime(QTime(0, 0, 0));
  QString message;
  AnswerMessage(&message);
  ClickClose(dialog);
  EXPECT_EQ(message, QStringLiteral("计划录制时长不能为0!"));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(settings()->GetRecordEnableRecordSchedule());

  duration->setTime(QTime(0, 0, 5));
  ClickClose(dialog);
  EXPECT_FALSE(dialog.isVisible());
  QDateTime a, b;
  uint64_t d = 99;
  int op = -1;
  ASSERT_TRUE(settings()->GetRecordRecordTask(a, b, d, op));
  EXPECT_EQ(a.toSecsSinceEpoch(), start.toSecsSinceEpoch());
  EXPECT_EQ(b.toSecsSinceEpoch(), 0);
  EXPECT_EQ(d, 5u);
  EXPECT_EQ(op, 0);
}

TEST_F(SettingsDialogTest, WithoutAMainWindowTheScheduleIsLeftAlone) {
  settings()->SetRecordEnableRecordSchedule(false);
  SettingsDialog dialog(nullptr);
  Child<QCheckBox>(&dialog, "checkBox_scheduleRecord")->setChecked(true);
  Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->setDateTime(QDateTime::currentDateTime().addDays(-1));
  EXPECT_TRUE(dialog.SaveSettings());
  EXPECT_FALSE(settings()->GetRecordEnableRecordSchedule());
}

TEST_F(SettingsDialogTest, ChangedSaveFolderPostsOneReloadToTheMainWindow) {
  MainWindow window;
  ReloadCounter counter;
  window.installEventFilter(&counter);
  settings()->SetGeneralFilesaveurl("/tmp/first");
  {
    SettingsDialog dialog(nullptr);
    ASSERT_TRUE(dialog.SaveSettings());
    QApplication::processEvents();
    EXPECT_EQ(counter.count, 0);
  }
  SettingsDialog dialog(nullptr);
  Child<QLineEdit>(&dialog, "lineEdit")->setText("/tmp/second");
  ASSERT_TRUE(dialog.SaveSettings());
  QApplication::processEvents();
  EXPECT_EQ(counter.count, 1);
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), "/tmp/second");
  ASSERT_TRUE(dialog.SaveSettings());
  QApplication::processEvents();
  EXPECT_EQ(counter.count, 1);
}

// Each row keeps the last pair the system accepted; a refused one is shown
// with its mark but never stored, not even by the close button.
TEST_F(SettingsDialogTest, HotKeyChangesAreStoredAtOnceUnlessTaken) {
  settings()->SetRecordStartpausehotkey(Qt::ControlModifier, Qt::Key_W);
  settings()->SetRecordStophotkey(Qt::AltModifier, Qt::Key_X);
  MainWindow window;  // holds the start/pause key
  SettingsDialog dialog(nullptr);
  Show(dialog);
  ShowRow(dialog, 8);
  auto* modifier = Child<QComboBox>(&dialog, "comboBox_5");
  auto* key = Child<QComboBox>(&dialog, "comboBox_6");
  auto* mark = Child<QLabel>(&dialog, "label_11");
  QTest::keyClick(key, Qt::Key_Down);  // W -> X
  EXPECT_TRUE(mark->text().isEmpty());
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(),
            std::make_pair(int(Qt::ControlModifier), 0x58));

  // ALT+X is the stop key: refused, nothing stored.
  QTest::keyClick(modifier, Qt::Key_End);  // ALT
  EXPECT_EQ(mark->text(), QStringLiteral("热键无效"));
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(),
            std::make_pair(int(Qt::ControlModifier), 0x58));
  QTest::keyClick(key, Qt::Key_Down);  // ALT+Y is free
  EXPECT_TRUE(mark->text().isEmpty());
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(), std::make_pair(int(Qt::AltModifier), 0x59));
  QTest::keyClick(key, Qt::Key_Up);  // ALT+X again
  EXPECT_EQ(mark->text(), QStringLiteral("热键无效"));
  ClickClose(dialog);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(), std::make_pair(int(Qt::AltModifier), 0x59));
  EXPECT_EQ(settings()->GetRecordStophotkey(), std::make_pair(int(Qt::AltModifier), 0x58));

  SettingsDialog reopened(nullptr);
  EXPECT_EQ(Child<QComboBox>(&reopened, "comboBox_5")->currentText(), "ALT");
  EXPECT_EQ(Child<QComboBox>(&reopened, "comboBox_6")->currentText(), "Y");
  EXPECT_EQ(SettingsDialog::KeyName(0x5B), "");
  EXPECT_EQ(SettingsDialog::ModifierName(Qt::MetaModifier), "");
}

TEST_F(SettingsDialogTest, ColourChoicesAreStoredWhenAcceptedOnly) {
  settings()->SetKeymouseShowkeystroke(true);
  SettingsDialog dialog(nullptr);
  const QColor before = settings()->GetKeymouseBackgroundcolor();
  QColor preset;
  OnModal([&preset](QWidget* modal) {
    auto* colours = qobject_cast<QColorDialog*>(modal);
    ASSERT_NE(colours, nullptr);
    preset = colours->currentColor();
    colours->setCurrentColor(QColor(10, 20, 30));
    colours->reject();
  });
  QTest::mouseClick(Child<QPushButton>(&dialog, "pushButton_7"), Qt::LeftButton);
  EXPECT_EQ(preset, before);
  EXPECT_EQ(settings()->GetKeymouseBackgroundcolor(), before);

  OnModal([](QWidget* modal) {
    auto* colours = qobject_cast<QColorDialog*>(modal);
    ASSERT_NE(colours, nullptr);
    colours->setCurrentColor(QColor(10, 20, 30));
    colours->accept();
  });
  QTest::mouseClick(Child<QPushButton>(&dialog, "pushButton_7"), Qt::LeftButton);
  EXPECT_EQ(settings()->GetKeymouseBackgroundcolor(), QColor(10, 20, 30));

  // The watermark colour also reaches the previewer's text.
  OnModal([](QWidget* modal) {
    auto* colours = qobject_cast<QColorDialog*>(modal);
    ASSERT_NE(colours, nullptr);
    colours->setCurrentColor(QColor(255, 0, 0));
    colours->accept();
  });
  QTest::mouseClick(Child<QPushButton>(&dialog, "pushButton_4"), Qt::LeftButton);
  EXPECT_EQ(settings()->GetWatermarkColor(), QColor(255, 0, 0));
  const QWidget* page = Child<QWidget>(&dialog, "page_5");
  bool found = false;
  for (QLabel* label : page->findChildren<QLabel*>())
    found = found || label->styleSheet() == "color:rgb(255,0,0)";
  EXPECT_TRUE(found);
}

// Two scripted monitors: the stored one is chosen, a change is stored at once.
TEST_F(SettingsDialogTest, KeyDisplayScreenIsStoredWhenChosen) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& monitors = platform::fake::FakeMonitors::Instance();
  monitors.SetMonitors({{1, {0, 0, 1920, 1080}, "DP-1", true},
                        {2, {1920, 0, 3840, 1080}, "HDMI-2", false}});
  settings()->SetKeymouseDisplayscreen("HDMI-2");
  {
    SettingsDialog dialog(nullptr);
    auto* screen = Child<QComboBox>(&dialog, "comboBox_4");
    ASSERT_EQ(screen->count(), 2);
    EXPECT_EQ(screen->itemText(0), "DP-1");
    EXPECT_EQ(screen->currentText(), "HDMI-2");
    screen->setCurrentIndex(0);
    EXPECT_EQ(settings()->GetKeymouseDisplayscreen(), "DP-1");
  }
  monitors.Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

TEST_F(SettingsDialogTest, MainWindowSettingsButtonOpensAParentlessDialog) {
  MainWindow window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  settings()->SetRecordQp(-30);
  bool seen = false;
  OnModal([&seen](QWidget* modal) {
    auto* dialog = qobject_cast<SettingsDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    seen = true;
    EXPECT_EQ(dialog->parentWidget(), nullptr);
    dialog->findChild<QSlider*>("imageQualitySlider")->setValue(-3);
    QTest::mouseClick(dialog->findChild<QPushButton*>("ButtonClose"), Qt::LeftButton);
  });
  QTest::mouseClick(Child<QPushButton>(&window, "Settings"), Qt::LeftButton);
  EXPECT_TRUE(seen);
  EXPECT_EQ(settings()->GetRecordQp(), -3);
}

// The preview button saves and closes the dialog and leaves a full-screen
// preview with the text where the page had it; a refused save leaves none.
TEST_F(SettingsDialogTest, FullScreenPreviewFollowsASuccessfulSave) {
  MainWindow window;
  settings()->SetWatermarkText("wm");
  settings()->SetWatermarkPos(0.1, 0.2);
  auto fullScreenPreviews = [] {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (dynamic_cast<WatermarkPreviewer*>(w) && w->isVisible()) ++n;
    return n;
  };
  SettingsDialog dialog(nullptr);
  Show(dialog);
  auto* schedule = Child<QCheckBox>(&dialog, "checkBox_scheduleRecord");
  schedule->setChecked(true);
  Child<QDateTimeEdit>(&dialog, "dateTimeEdit")->setDateTime(QDateTime::currentDateTime().addDays(-1));
  OnModal([](QWidget* modal) {
    QTest::mouseClick(modal->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
  });
  QTest::mouseClick(Child<QPushButton>(&dialog, "btn_wm_full_preview"), Qt::LeftButton);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(fullScreenPreviews(), 0);

  schedule->setChecked(false);
  QTest::mouseClick(Child<QPushButton>(&dialog, "btn_wm_full_preview"), Qt::LeftButton);
  EXPECT_FALSE(dialog.isVisible());
  WatermarkPreviewer* full = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* p = dynamic_cast<WatermarkPreviewer*>(w)) full = p;
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->parentWidget(), nullptr);
  EXPECT_EQ(full->TextLabel()->text(), "wm");
  double x = 0, y = 0;
  full->GetRelativePos(x, y);
  EXPECT_NEAR(x, 0.1, 0.01);
  EXPECT_NEAR(y, 0.2, 0.01);
  full->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every page as the user sees it, saved into the build folder. Every style
// sheet parses (a stray brace once kept the check-box and radio-button ones
// from it).
int g_unparsedSheets = 0;
TEST_F(SettingsDialogTest, ScreenshotsOfEveryPage) {
  const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (text.contains("Could not parse stylesheet")) ++g_unparsedSheets;
      });
  settings()->SetWatermarkText(QStringLiteral("Korvo录屏 水印"));
  SettingsDialog dialog(nullptr);
  dialog.move(100, 100);
  Show(dialog);
  for (int row = 0; row < 10; ++row) {
    ShowRow(dialog, row);
    QTest::qWait(50);
    EXPECT_TRUE(guitest::SaveScreenshot(&dialog, QString("settings_page_%1").arg(row)));
  }
  qInstallMessageHandler(previous);
  EXPECT_EQ(g_unparsedSheets, 0);
}

// Takes the file the desktop is asked to open.
class OpenedFiles : public QObject {
  Q_OBJECT

 public:
  OpenedFiles() { QDesktopServices::setUrlHandler("file", this, "Open"); }
  ~OpenedFiles() override { QDesktopServices::unsetUrlHandler("file"); }
  QStringList paths;

 public slots:
  void Open(const QUrl& url) { paths << url.toLocalFile(); }
};

// The about page's notices button opens the notices file shipped beside the
// program, wherever the program is started from.
TEST_F(SettingsDialogTest, NoticesButtonOpensTheFileBesideTheProgram) {
  const QString before = QDir::currentPath();
  QDir::setCurrent(QDir::tempPath());
  OpenedFiles opened;
  SettingsDialog dialog(nullptr);
  Show(dialog);
  ShowRow(dialog, 9);
  QTest::mouseClick(Child<QPushButton>(&dialog, "pushButton_9"), Qt::LeftButton);
  QDir::setCurrent(before);
  const QString beside = QString::fromStdString(testsupport::BuildDir()) + "/license.txt";
  ASSERT_EQ(opened.paths, QStringList{beside});
  EXPECT_TRUE(QFileInfo::exists(beside));
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunTestsOnOwnDisplay(argc, argv); }

#include "settingsdialog_test.moc"
