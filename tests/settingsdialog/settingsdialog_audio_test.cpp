#include <QComboBox>
#include <QListView>
#include <QProcess>

#include "dialogtestenv.h"
#include "recorder/audiodevices.h"
#include "settingsdialog/settingsdialog.h"

namespace {

class SettingsDialogAudioTest : public dialogtest::DialogTest {
 protected:
  void SetUp() override {
    if (!testsupport::HavePulse()) GTEST_SKIP() << "needs the test sound server";
    DialogTest::SetUp();
  }

  static void ShowRow(SettingsDialog& dialog, int row) {
    auto* list = Child<QListView>(&dialog, "listView");
    const QRect r = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
  }

  // Moves through the list with the arrow keys, as a user picks.
  static void Pick(QComboBox* combo, int index) {
    while (combo->currentIndex() != index)
      QTest::keyClick(combo, combo->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
  }

  static QStringList Ids(QComboBox* combo) {
    QStringList ids;
    for (int i = 0; i < combo->count(); ++i)
      ids << QString::fromStdString(combo->itemData(i).value<AudioDevice>().id);
    return ids;
  }
};

// The default source is mic_in2 meanwhile, not the first one listed.
class DefaultSource {
 public:
  DefaultSource() { ok = QProcess::execute("pactl", {"set-default-source", "mic_in2"}) == 0; }
  ~DefaultSource() { QProcess::execute("pactl", {"set-default-source", "mic_in"}); }
  bool ok = false;
};

TEST_F(SettingsDialogAudioTest, DeviceCombosListTheSoundServerOnFirstVisit) {
  DefaultSource source;
  ASSERT_TRUE(source.ok);
  settings()->SetRecordSpeakerUnique("mic");          // present: stays chosen
  settings()->SetRecordMicUnique("gone.monitor");     // absent: the default shown, kept stored
  SettingsDialog dialog(nullptr);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  auto* speakers = Child<QComboBox>(&dialog, "comboBox_speakers");
  auto* mics = Child<QComboBox>(&dialog, "comboBox_mics");
  EXPECT_EQ(speakers->count(), 0);  // nothing is listed before the page is visited

  ShowRow(dialog, 4);
  const QStringList speakerIds = Ids(speakers);
  EXPECT_TRUE(speakerIds.contains("spk"));
  EXPECT_TRUE(speakerIds.contains("mic"));
  // The null sinks share one name: the stored one is found by identifier.
  EXPECT_EQ(speakers->currentIndex(), speakerIds.indexOf("mic"));
  EXPECT_EQ(settings()->GetRecordSpeakerUnique(), "mic");

  // The absent one: what a recording takes instead, the default source.
  const QStringList micIds = Ids(mics);
  ASSERT_GT(micIds.indexOf("mic_in2"), 0);  // the same name as the first one
  EXPECT_EQ(mics->currentIndex(), micIds.indexOf("mic_in2"));
  EXPECT_EQ(settings()->GetRecordMicUnique(), "gone.monitor");

  // The user's choice is stored at once.
  Pick(mics, micIds.indexOf("mic_in"));
  EXPECT_EQ(settings()->GetRecordMicUnique(), "mic_in");

  // A second visit does not list again.
  ShowRow(dialog, 0);
  ShowRow(dialog, 4);
  EXPECT_EQ(Ids(mics), micIds);
  EXPECT_EQ(mics->currentIndex(), micIds.indexOf("mic_in"));

  SettingsDialog reopened(nullptr);
  reopened.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&reopened));
  ShowRow(reopened, 4);
  auto* mics2 = Child<QComboBox>(&reopened, "comboBox_mics");
  EXPECT_EQ(mics2->currentIndex(), Ids(mics2).indexOf("mic_in"));
  EXPECT_EQ(settings()->GetRecordMicUnique(), "mic_in");
}

}  // namespace
