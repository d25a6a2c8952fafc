#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>

#include "platform/backend.h"
#include "platform/fake/fake_shell.h"
#include "settings.h"
#include "support/testsupport.h"

namespace {

// Each test gets its own configuration folder, so the store's file is fresh.
class SettingsTest : public ::testing::Test {
 protected:
  // QSettings fixes its folder at first use: the folder is the program's
  // own, and each test starts from an empty file.
  void SetUp() override {
    platform::Backend::Use(platform::BackendKind::X11);
    ASSERT_TRUE(settings()->Init());
    QFile::remove(settings()->FileName());
    ASSERT_TRUE(settings()->Init());
  }

  Settings* settings() { return Settings::Instance(); }

  // Writes raw lines into the store's file, as a user editing it would.
  void WriteRaw(const QString& text) {
    QFile file(settings()->FileName());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    ASSERT_TRUE(settings()->Init());  // a fresh QSettings reads the edited file
  }

  testsupport::TempDir m_dir;
};


TEST_F(SettingsTest, DefaultsOfAnEmptyStore) {
  EXPECT_EQ(settings()->GetRecordRecordtype(), RecordMode::Monitor);
  EXPECT_EQ(settings()->GetRecordRecordaudio(), 0u);
  EXPECT_DOUBLE_EQ(settings()->GetRecordVideoframerate(), 25.0);
  EXPECT_EQ(settings()->GetRecordAudiofrequency(), 48000u);
  EXPECT_EQ(settings()->GetRecordAudiobitrate(), 256u);
  const int qp = settings()->GetRecordQp();
  EXPECT_TRUE(qp == -20 || qp == -32);
  EXPECT_TRUE(settings()->GetGeneralHidewhenclose());
  EXPECT_TRUE(settings()->GetGeneralRecordStatusBar());
  EXPECT_TRUE(settings()->GetGeneralRecordmouse());
  EXPECT_FALSE(settings()->GetGeneralHideTaskbar());
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(),
            std::make_pair(int(Qt::AltModifier), int(Qt::Key_9)));
  EXPECT_EQ(settings()->GetRecordStophotkey(),
            std::make_pair(int(Qt::ShiftModifier), int(Qt::Key_S)));
  EXPECT_EQ(settings()->GetKeymouseColor(), QColor("#f9f9f9"));
  EXPECT_EQ(settings()->GetKeymouseBackgroundcolor(), QColor("#000000"));
  EXPECT_EQ(settings()->GetKeymouseMouseColor(), QColor("#FFFF00"));
  EXPECT_EQ(settings()->GetKeymouseFont().family(), "Microsoft YaHei UI");
  EXPECT_TRUE(settings()->GetKeymouseFont().bold());
  EXPECT_FALSE(settings()->GetWatermarkColor().isValid());
  EXPECT_EQ(settings()->GetKeymouseBackgroundopacity(), 40);
  EXPECT_EQ(settings()->GetKeymouseHaloDiameter(), 25);
  // An empty save folder gives the movies folder without storing it.
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), Settings::DefaultSaveFolder());
  QSettings raw(settings()->FileName(), QSettings::IniFormat);
  EXPECT_FALSE(raw.contains("general/filesaveurl"));
  QRect rect;
  EXPECT_FALSE(settings()->GetRecordRegionRect(rect));
  double x = 0, y = 0;
  EXPECT_FALSE(settings()->GetWatermarkPos(x, y));
  QDateTime start, end;
  uint64_t dur = 0;
  int op = 0;
  EXPECT_FALSE(settings()->GetRecordRecordTask(start, end, dur, op));
}

TEST_F(SettingsTest, ValuesSurviveAFreshStore) {
  settings()->SetRecordRecordtype(RecordMode::Region);
  settings()->SetRecordVideoframerate(59.94);
  settings()->SetRecordAudiobitrate(128);
  settings()->SetRecordQp(-25);
  settings()->SetRecordStophotkey(int(Qt::ControlModifier | Qt::ShiftModifier), int(Qt::Key_F9));
  settings()->SetRecordRegionRect(QRect(10, 20, 300, 200));
  settings()->SetRecordCamera("cam-1", "USB 摄像头");
  settings()->SetGeneralFilesaveurl(QString::fromStdString(m_dir.path()) + "/录像");
  settings()->SetWatermarkText("水印 text");
  settings()->SetWatermarkColor(QColor(10, 200, 30));
  settings()->SetWatermarkPos(0.25, 0.75);
  settings()->SetKeymouseHaloDiameter(40);
  const QDateTime start = QDateTime::fromSecsSinceEpoch(1800000000);
  settings()->SetRecordRecordTask(start, QDateTime(), 3600, 2);

  ASSERT_TRUE(settings()->Init());
  EXPECT_EQ(settings()->GetRecordRecordtype(), RecordMode::Region);
  EXPECT_DOUBLE_EQ(settings()->GetRecordVideoframerate(), 59.94);
  EXPECT_EQ(settings()->GetRecordAudiobitrate(), 128u);
  EXPECT_EQ(settings()->GetRecordQp(), -25);
  EXPECT_EQ(settings()->GetRecordStophotkey(),
            std::make_pair(int(Qt::ControlModifier | Qt::ShiftModifier), int(Qt::Key_F9)));
  QRect rect;
  EXPECT_TRUE(settings()->GetRecordRegionRect(rect));
  EXPECT_EQ(rect, QRect(10, 20, 300, 200));
  QString unique, description;
  settings()->GetRecordCamera(unique, description);
  EXPECT_EQ(unique, "cam-1");
  EXPECT_EQ(description, "USB 摄像头");
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), QString::fromStdString(m_dir.path()) + "/录像");
  EXPECT_EQ(settings()->GetWatermarkText(), "水印 text");
  EXPECT_EQ(settings()->GetWatermarkColor(), QColor(10, 200, 30));
  double x = 0, y = 0;
  EXPECT_TRUE(settings()->GetWatermarkPos(x, y));
  EXPECT_DOUBLE_EQ(x, 0.25);
  EXPECT_DOUBLE_EQ(y, 0.75);
  EXPECT_EQ(settings()->GetKeymouseHaloDiameter(), 40);
  QDateTime s, e;
  uint64_t dur = 0;
  int op = 0;
  ASSERT_TRUE(settings()->GetRecordRecordTask(s, e, dur, op));
  EXPECT_EQ(s, start);
  EXPECT_EQ(e.toSecsSinceEpoch(), 0);  // no end time reads as the epoch
  EXPECT_EQ(dur, 3600u);
  EXPECT_EQ(op, 2);

  // An invalid start leaves the stored task alone.
  settings()->SetRecordRecordTask(QDateTime(), QDateTime(), 1, 1);
  ASSERT_TRUE(settings()->GetRecordRecordTask(s, e, dur, op));
  EXPECT_EQ(dur, 3600u);
}

// What a later start finds on disk: the file as the store writes it.
TEST_F(SettingsTest, EveryGroupSurvivesARestart) {
  const QString folder = QString::fromStdString(testsupport::UserFolder()) + "/录像";
  settings()->SetGeneralFilesaveurl(folder);
  settings()->SetGeneralHidewhenclose(false);
  settings()->SetRecordAudiobitrate(128);
  QFile file(settings()->FileName());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString written = QString::fromUtf8(file.readAll());
  file.close();
  // Read back from that text alone.
  WriteRaw(written);
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), folder) << written.toStdString();
  EXPECT_FALSE(settings()->GetGeneralHidewhenclose());
  EXPECT_EQ(settings()->GetRecordAudiobitrate(), 128u);
  // The same when the file is written by hand.
  WriteRaw("[%General]\nfilesaveurl=/tmp/by-hand\nhidewhenclose=false\n");
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), "/tmp/by-hand");
  EXPECT_FALSE(settings()->GetGeneralHidewhenclose());
}

TEST_F(SettingsTest, EdgeValuesOfHotKeysRectsAndPositions) {
  // Only a missing position is no position: (0, 0) is the top-left corner.
  settings()->SetWatermarkPos(0, 0);
  double x = 5, y = 5;
  EXPECT_TRUE(settings()->GetWatermarkPos(x, y));
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);

  settings()->SetRecordRegionRect(QRect(5, 5, 0, 100));
  QRect rect;
  EXPECT_FALSE(settings()->GetRecordRegionRect(rect));
  EXPECT_EQ(rect.topLeft(), QPoint(5, 5));  // copied out even when empty

  QSettings* raw = nullptr;
  (void)raw;
  WriteRaw("[record]\nstartpausehotkey=abc, 83\nstophotkey=1, 2, 3\n");
  EXPECT_EQ(settings()->GetRecordStartpausehotkey(), std::make_pair(0, 83));
  EXPECT_EQ(settings()->GetRecordStophotkey(),
            std::make_pair(int(Qt::ShiftModifier), int(Qt::Key_S)));

  WriteRaw("[record]\nrecord_task=[1, 2]\n");
  QDateTime s, e;
  uint64_t dur = 0;
  int op = 0;
  EXPECT_FALSE(settings()->GetRecordRecordTask(s, e, dur, op));
  WriteRaw("[record]\nrecord_task=\"{not json\"\n");
  EXPECT_FALSE(settings()->GetRecordRecordTask(s, e, dur, op));
}

TEST_F(SettingsTest, CorruptedValuesFallBackToDefaults) {
  WriteRaw(
      "[record]\n"
      "videoframerate=-30\n"
      "audiofrequency=999999999\n"
      "audiobitrate=abc\n"
      "qp=18\n"  // stored negated: a positive value opens no encoder
      "fsduration=-5\n"
      "fssize=99999999999\n"
      "filesegment=7\n"
      "recordaudio=42\n"
      "[keymouse]\n"
      "halo_diameter=-1\n"
      "backgroundopacity=1000\n"
      "[%General]\n"  // how the INI format spells the "general" group
      "filesaveurl=relative/folder\n");
  EXPECT_DOUBLE_EQ(settings()->GetRecordVideoframerate(), 25.0);
  EXPECT_EQ(settings()->GetRecordAudiofrequency(), 48000u);
  EXPECT_EQ(settings()->GetRecordAudiobitrate(), 256u);
  const int qp = settings()->GetRecordQp();
  EXPECT_TRUE(qp == -20 || qp == -32);
  EXPECT_EQ(settings()->GetRecordFsduration(), 0u);
  EXPECT_EQ(settings()->GetRecordFssize(), 0u);
  EXPECT_EQ(settings()->GetRecordFilesegment(), 0);
  EXPECT_EQ(settings()->GetRecordRecordaudio(), 0u);
  EXPECT_EQ(settings()->GetKeymouseHaloDiameter(), 25);
  EXPECT_EQ(settings()->GetKeymouseBackgroundopacity(), 40);
  EXPECT_EQ(settings()->GetGeneralFilesaveurl(), Settings::DefaultSaveFolder());

  WriteRaw("[record]\nvideoframerate=nan\n");
  EXPECT_DOUBLE_EQ(settings()->GetRecordVideoframerate(), 25.0);
  WriteRaw("[record]\nvideoframerate=inf\n");
  EXPECT_DOUBLE_EQ(settings()->GetRecordVideoframerate(), 25.0);

  // Switches, colours and fonts that are not what they should be.
  WriteRaw("[keymouse]\nshowkeystroke=sometimes\ncolor=notacolor\nfont=\"Sans,x,y\"\n"
           "[%General]\nhidewhenclose=0\nrecordmouse=@Rect(1 2 3 4)\n");
  EXPECT_FALSE(settings()->GetKeymouseShowkeystroke());
  EXPECT_EQ(settings()->GetKeymouseColor(), QColor("#f9f9f9"));
  EXPECT_EQ(settings()->GetKeymouseFont().family(), "Microsoft YaHei UI");
  EXPECT_FALSE(settings()->GetGeneralHidewhenclose());
  EXPECT_TRUE(settings()->GetGeneralRecordmouse());
}

TEST_F(SettingsTest, FoldersFollowTheUsersDataFolder) {
  EXPECT_EQ(Settings::DataFolder(), testsupport::UserFolder() + "/data/ScreenRecorder/");
  EXPECT_EQ(Settings::LogFolder(), testsupport::UserFolder() + "/data/ScreenRecorder/log/");
  EXPECT_EQ(Settings::TempFolder(), testsupport::UserFolder() + "/data/ScreenRecorder/temp/");
  EXPECT_EQ(settings()->FileName(),
            QString::fromStdString(testsupport::UserFolder()) + "/config/Korvo/screenrecorder.conf");
  // A system that does not know the folder: the home folder, not the root.
  platform::Backend::Use(platform::BackendKind::Fake);
  platform::fake::FakeShell::Instance().SetAppDataFolder("");
  EXPECT_EQ(Settings::DataFolder(), QDir::homePath().toStdString() + "/ScreenRecorder/");
  platform::fake::FakeShell::Instance().Reset();
  platform::Backend::Use(platform::BackendKind::X11);
}

}  // namespace
