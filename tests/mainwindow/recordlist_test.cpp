#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

#include "guitestenv.h"
#include "mainwindow/mainwindow.h"
#include "settings.h"
#include "settingsdialog/settingsdialogevents.h"
#include "support/logcapture.h"

// Reaches the list page's steps that the recording control calls.
class MainWindowTestAccess {
 public:
  static void ShowRecordedFiles(MainWindow& w, const std::vector<std::string>& files) {
    w.ShowRecordedFiles(files);
  }
};

namespace {

// Takes the place of the desktop's handler for local files.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

class RecordListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
    ASSERT_TRUE(Settings::Instance()->Init());
    m_folder = QString::fromStdString(m_dir.path()) + "/videos";
    ASSERT_TRUE(QDir().mkpath(m_folder));
    m_folder = QDir(m_folder).canonicalPath();
    Settings::Instance()->SetGeneralFilesaveurl(m_folder);
    QDesktopServices::setUrlHandler("file", &m_urls, "Open");
  }

  void TearDown() override { QDesktopServices::unsetUrlHandler("file"); }

  // A small H.264 MP4 of the given length made by the ffmpeg program.
  static void MakeMp4(const QString& path, int seconds, int rate = 5) {
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i",
                            QString("color=c=blue:size=32x32:rate=%1:duration=%2").arg(rate).arg(seconds),
                            "-c:v", "libx264", "-pix_fmt", "yuv420p", path});
    ASSERT_TRUE(ffmpeg.waitForFinished(60000));
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
  }

  static void WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
  }

  // Creation times are kept in whole seconds: let the next file get a later one.
  static void NextSecond() { QThread::msleep(1100); }

  static QTableView* Table(MainWindow& w) { return w.findChild<QTableView*>("tableView"); }
  static QStandardItemModel* Model(MainWindow& w) {
    return qobject_cast<QStandardItemModel*>(Table(w)->model());
  }
  static QString Cell(MainWindow& w, int row, int column) {
    return Model(w)->index(row, column).data().toString();
  }
  static QStringList Names(MainWindow& w) {
    QStringList names;
    for (int r = 0; r < Model(w)->rowCount(); ++r) names << Cell(w, r, 0);
    return names;
  }

  static QPoint CellCentre(MainWindow& w, int row, int column) {
    return Table(w)->visualRect(Model(w)->index(row, column)).center();
  }
  static void ClickCell(MainWindow& w, int row, int column) {
    QTest::mouseClick(Table(w)->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(w, row, column));
  }

  // Shows the window on the list page.
  static void ShowListPage(MainWindow& w) {
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.findChild<QListWidget*>("listWidget_sidebar")->setCurrentRow(1);
    QApplication::processEvents();
  }

  // Opens the row menu from the "..." cell and triggers the named action.
  static void UseRowMenu(MainWindow& w, int row, const QString& action) {
    ClickCell(w, row, 4);
    QMenu* menu = nullptr;
    QTRY_VERIFY((menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr);
    QStringList texts;
    QAction* chosen = nullptr;
    for (QAction* a : menu->actions()) {
      texts << a->text();
      if (a->text() == action) chosen = a;
    }
    EXPECT_EQ(texts, (QStringList{"播放", "重命名", "打开文件位置", "删除"}));
    ASSERT_NE(chosen, nullptr);
    menu->close();
    chosen->trigger();
  }

  // The in-place editor of the current row's name, when open.
  static QLineEdit* NameEditor(MainWindow& w) {
    const QModelIndex cell = Model(w)->index(Table(w)->currentIndex().row(), 0);
    return qobject_cast<QLineEdit*>(Table(w)->indexWidget(cell));
  }

  // As the system delivers it: a click, then the double-click event.
  static void DoubleClickCell(MainWindow& w, int row, int column) {
    ClickCell(w, row, column);
    QTest::mouseDClick(Table(w)->viewport(), Qt::LeftButton, Qt::NoModifier,
                       CellCentre(w, row, column));
  }

  // Types a name into the open editor; Return confirms it.
  static void TypeNewName(MainWindow& w, const QString& name, bool confirm = true) {
    QLineEdit* editor = NameEditor(w);
    ASSERT_NE(editor, nullptr) << "no name editor open";
    editor->selectAll();
    QTest::keyClicks(editor, name);
    if (confirm) QTest::keyClick(editor, Qt::Key_Return);
    QApplication::processEvents();  // the editor commits from the event loop
  }

  // Answers the delete confirmation with the given button once it shows.
  void AnswerConfirmation(const char* button) {
    QTimer::singleShot(0, [this, button] {
      QWidget* dialog = nullptr;
      QTRY_VERIFY((dialog = QApplication::activeModalWidget()) != nullptr);
      m_confirmText = dialog->findChild<QLabel*>("label")->text();
      QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
    });
  }

  testsupport::TempDir m_dir;
  QString m_folder;
  UrlRecorder m_urls;
  QString m_confirmText;
};

TEST_F(RecordListTest, SizeTexts) {
  EXPECT_EQ(MainWindow::FormatFileSize(0), "0 B");
  EXPECT_EQ(MainWindow::FormatFileSize(1024), "1024 B");
  EXPECT_EQ(MainWindow::FormatFileSize(1025), "1.00 K");
  EXPECT_EQ(MainWindow::FormatFileSize(1536), "1.50 K");
  EXPECT_EQ(MainWindow::FormatFileSize(1048576), "1024.00 K");
  EXPECT_EQ(MainWindow::FormatFileSize(1048577), "1.00 M");
  EXPECT_EQ(MainWindow::FormatFileSize(1073741824), "1024.00 M");
  EXPECT_EQ(MainWindow::FormatFileSize(1073741825), "1.00 G");
  EXPECT_EQ(MainWindow::FormatFileSize(3221225472LL), "3.00 G");
}

TEST_F(RecordListTest, DurationsReadFromFiles) {
  MakeMp4(m_folder + "/long.mp4", 3725, 1);
  int64_t seconds = 0;
  EXPECT_TRUE(MainWindow::GetMediaDuration(m_folder + "/long.mp4", seconds));
  EXPECT_EQ(seconds, 3725);

  testsupport::LogCapture log;
  seconds = 7;
  EXPECT_FALSE(MainWindow::GetMediaDuration(m_folder + "/missing.mp4", seconds));
  EXPECT_EQ(seconds, 7);
  EXPECT_TRUE(log.Contains("open file " + m_folder.toStdString() + "/missing.mp4 failed"));
  EXPECT_FALSE(MainWindow::GetMediaDuration("", seconds));
  EXPECT_TRUE(log.Contains("file is empty"));
}

TEST_F(RecordListTest, FirstFillListsRecordingsNewestFirst) {
  WriteFile(m_folder + "/broken.mp4", QByteArray(2000, 'x'));
  NextSecond();
  MakeMp4(m_folder + "/20240101_000001.mp4", 2);
  NextSecond();
  MakeMp4(m_folder + "/clip.final.mp4", 1);
  NextSecond();
  MakeMp4(m_folder + "/X.MP4", 3);
  WriteFile(m_folder + "/notes.txt", "not a video");
  ASSERT_TRUE(QDir(m_folder).mkdir("folder.mp4"));

  testsupport::LogCapture log;
  MainWindow w;
  QTableView* table = Table(w);
  QStandardItemModel* model = Model(w);
  ASSERT_NE(model, nullptr);

  ASSERT_EQ(model->columnCount(), 5);
  const QStringList headers = {"名称", "时长", "大小", "日期", "更多"};
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(model->headerData(c, Qt::Horizontal).toString(), headers[c]);
  EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(table->verticalHeader()->defaultSectionSize(), 50);
  EXPECT_EQ(table->columnWidth(0), 189);
  EXPECT_EQ(table->columnWidth(4), 41);

  ASSERT_EQ(Names(w), (QStringList{"X.mp4", "clip.final.mp4", "20240101_000001.mp4", "broken.mp4"}));
  EXPECT_EQ(Cell(w, 0, 1), "00:00:03");
  EXPECT_EQ(Cell(w, 1, 1), "00:00:01");
  EXPECT_EQ(Cell(w, 2, 1), "00:00:02");
  EXPECT_EQ(Cell(w, 3, 1), "00:00:00");  // not a readable video
  EXPECT_TRUE(log.Contains("open file " + m_folder.toStdString() + "/broken.mp4 failed"));
  EXPECT_EQ(Cell(w, 3, 2), "1.95 K");

  const QStringList files = {"X.MP4", "clip.final.mp4", "20240101_000001.mp4", "broken.mp4"};
  for (int r = 0; r < 4; ++r) {
    const QFileInfo info(m_folder + "/" + files[r]);
    EXPECT_EQ(Cell(w, r, 2), MainWindow::FormatFileSize(info.size())) << r;
    QDateTime created = info.birthTime().isValid() ? info.birthTime() : info.lastModified();
    EXPECT_EQ(Cell(w, r, 3), created.toString("yyyy-MM-dd hh:mm:ss")) << r;
    EXPECT_EQ(Cell(w, r, 4), "...");
    EXPECT_EQ(model->item(r, 3)->textAlignment(), Qt::AlignCenter);
  }
  EXPECT_GT(Cell(w, 0, 3), Cell(w, 1, 3));
  EXPECT_GT(Cell(w, 2, 3), Cell(w, 3, 3));

  // The upper-case file is shown as ".mp4" but still opens on a
  // case-sensitive file system; any cell of a row opens that row's file.
  ShowListPage(w);
  DoubleClickCell(w, 0, 2);
  DoubleClickCell(w, 1, 3);
  ASSERT_EQ(m_urls.urls.size(), 2u);
  EXPECT_EQ(m_urls.urls[0], QUrl::fromLocalFile(m_folder + "/X.MP4"));
  EXPECT_EQ(m_urls.urls[1], QUrl::fromLocalFile(m_folder + "/clip.final.mp4"));
}

TEST_F(RecordListTest, EmptyOrMissingFolderGivesAnEmptyTable) {
  Settings::Instance()->SetGeneralFilesaveurl(m_folder + "/not-there");
  MainWindow w;
  EXPECT_EQ(Model(w)->rowCount(), 0);
  EXPECT_FALSE(QDir(m_folder + "/not-there").exists());
}

TEST_F(RecordListTest, ReloadEventListsTheNewFolderInNameOrder) {
  MakeMp4(m_folder + "/first.mp4", 1);
  MainWindow w;
  ASSERT_EQ(Names(w), QStringList{"first.mp4"});

  const QString other = QString::fromStdString(m_dir.path()) + "/other";
  ASSERT_TRUE(QDir().mkpath(other));
  MakeMp4(other + "/20240102_000000.mp4", 1);
  NextSecond();
  MakeMp4(other + "/20240101_000000.mp4", 2);
  NextSecond();
  MakeMp4(other + "/20240103_000000.mp4", 1);
  Settings::Instance()->SetGeneralFilesaveurl(other);

  QCoreApplication::postEvent(&w, new MediaFilesReloadEvent);
  EXPECT_EQ(Model(w)->rowCount(), 1);  // posted: handled by the event loop
  QCoreApplication::processEvents();
  EXPECT_EQ(Names(w),
            (QStringList{"20240101_000000.mp4", "20240102_000000.mp4", "20240103_000000.mp4"}));
  EXPECT_EQ(Cell(w, 0, 1), "00:00:02");

  Settings::Instance()->SetGeneralFilesaveurl(other + "/gone");
  QCoreApplication::postEvent(&w, new MediaFilesReloadEvent);
  QCoreApplication::processEvents();
  EXPECT_EQ(Model(w)->rowCount(), 0);
}

// Closes the message boxes that come up and keeps their texts.
class BoxCloser {
 public:
  BoxCloser() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!box) return;
      texts << box->findChild<QLabel*>("label")->text();
      box->reject();
    });
    m_timer.start(20);
  }
  QStringList texts;

 private:
  QTimer m_timer;
};

TEST_F(RecordListTest, RenameFromTheRowMenu) {
  MakeMp4(m_folder + "/a.mp4", 1);
  NextSecond();
  MakeMp4(m_folder + "/b.mp4", 1);
  ASSERT_TRUE(QDir(m_folder).mkdir("sub"));
  MainWindow w;
  ShowListPage(w);
  ASSERT_EQ(Names(w), (QStringList{"b.mp4", "a.mp4"}));

  // The file follows when the name is confirmed, and keeps its suffix.
  UseRowMenu(w, 1, "重命名");
  EXPECT_EQ(NameEditor(w)->selectedText(), "a");
  TypeNewName(w, "holiday");
  EXPECT_TRUE(QFile::exists(m_folder + "/holiday.mp4"));
  EXPECT_FALSE(QFile::exists(m_folder + "/a.mp4"));
  EXPECT_EQ(Names(w), (QStringList{"b.mp4", "holiday.mp4"}));

  // Taken, empty or holding a folder separator: refused with a message,
  // nothing renamed, the row keeps naming its file.
  BoxCloser boxes;
  for (const QString& name : {QString("b.mp4"), QString("  "), QString("sub/moved")}) {
    UseRowMenu(w, 1, "重命名");
    TypeNewName(w, name);
    QTRY_COMPARE(boxes.texts.size(), 1);
    EXPECT_TRUE(QFile::exists(m_folder + "/holiday.mp4")) << name.toStdString();
    EXPECT_EQ(Cell(w, 1, 0), "holiday.mp4");
    boxes.texts.clear();
  }
  EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), (QStringList{"b.mp4", "holiday.mp4"}));
}

TEST_F(RecordListTest, TypedNameIsKeptByAReloadAPageSwitchAndQuit) {
  MakeMp4(m_folder + "/a.mp4", 1);
  NextSecond();
  MakeMp4(m_folder + "/b.mp4", 1);
  auto w = std::make_unique<MainWindow>();
  ShowListPage(*w);
  UseRowMenu(*w, 0, "重命名");  // b.mp4
  TypeNewName(*w, "renamed.mp4", false);
  QCoreApplication::postEvent(w.get(), new MediaFilesReloadEvent);
  QCoreApplication::processEvents();
  ClickCell(*w, 0, 2);
  EXPECT_FALSE(QFile::exists(m_folder + "/b.mp4"));
  EXPECT_EQ(Names(*w), (QStringList{"a.mp4", "renamed.mp4"}));

  UseRowMenu(*w, 0, "重命名");  // a.mp4
  TypeNewName(*w, "paged.mp4", false);
  w->findChild<QListWidget*>("listWidget_sidebar")->setCurrentRow(0);
  EXPECT_TRUE(QFile::exists(m_folder + "/paged.mp4"));
  EXPECT_FALSE(QFile::exists(m_folder + "/a.mp4"));

  ShowListPage(*w);
  UseRowMenu(*w, 1, "重命名");  // renamed.mp4
  TypeNewName(*w, "quit.mp4", false);
  w.reset();
  EXPECT_TRUE(QFile::exists(m_folder + "/quit.mp4"));
  EXPECT_FALSE(QFile::exists(m_folder + "/renamed.mp4"));
}

TEST_F(RecordListTest, DeleteAsksFirst) {
  MakeMp4(m_folder + "/keep.mp4", 1);
  NextSecond();
  MakeMp4(m_folder + "/drop.mp4", 1);
  QFile::setPermissions(m_folder + "/drop.mp4", QFileDevice::ReadOwner);  // write-protected
  MainWindow w;
  ShowListPage(w);
  ASSERT_EQ(Names(w), (QStringList{"drop.mp4", "keep.mp4"}));

  AnswerConfirmation("pushButton_2");  // Cancel
  UseRowMenu(w, 0, "删除");
  EXPECT_EQ(m_confirmText, "确认删除该文件吗？");
  EXPECT_EQ(Model(w)->rowCount(), 2);
  EXPECT_TRUE(QFile::exists(m_folder + "/drop.mp4"));

  AnswerConfirmation("pushButton");  // OK
  UseRowMenu(w, 0, "删除");
  EXPECT_EQ(Names(w), QStringList{"keep.mp4"});
  EXPECT_FALSE(QFile::exists(m_folder + "/drop.mp4"));

  // Already gone from disk: the row goes, the failure is logged.
  ASSERT_TRUE(QFile::remove(m_folder + "/keep.mp4"));
  testsupport::LogCapture log;
  AnswerConfirmation("pushButton");
  UseRowMenu(w, 0, "删除");
  EXPECT_EQ(Model(w)->rowCount(), 0);
  EXPECT_TRUE(log.Contains("remove failed:" + m_folder.toStdString() + "/keep.mp4"));
}

TEST_F(RecordListTest, PlayAndOpenFolderFromTheRowMenu) {
  MakeMp4(m_folder + "/one.mp4", 1);
  MainWindow w;
  ShowListPage(w);
  UseRowMenu(w, 0, "播放");
  UseRowMenu(w, 0, "打开文件位置");
  ASSERT_EQ(m_urls.urls.size(), 2u);
  EXPECT_EQ(m_urls.urls[0], QUrl::fromLocalFile(m_folder + "/one.mp4"));
  EXPECT_EQ(m_urls.urls[1], QUrl::fromLocalFile(m_folder));
  // The save folder changed since the list was filled: the row's own folder opens.
  Settings::Instance()->SetGeneralFilesaveurl(m_folder + "/elsewhere");
  UseRowMenu(w, 0, "打开文件位置");
  ASSERT_EQ(m_urls.urls.size(), 3u);
  EXPECT_EQ(m_urls.urls[2], QUrl::fromLocalFile(m_folder));
}

TEST_F(RecordListTest, NewRecordingsAreAddedNewestFirstWithTheNameOpen) {
  MakeMp4(m_folder + "/old.mp4", 1);
  MainWindow w;
  ShowListPage(w);
  w.findChild<QListWidget*>("listWidget_sidebar")->setCurrentRow(0);

  std::vector<std::string> files;
  for (const char* name : {"20240101_100000.mp4", "20240101_100000_1.mp4", "20240101_100000_2.mp4"}) {
    NextSecond();
    MakeMp4(m_folder + "/" + name, 1);
    files.push_back((m_folder + "/" + name).toStdString());
  }
  MainWindowTestAccess::ShowRecordedFiles(w, files);

  EXPECT_EQ(Names(w), (QStringList{"20240101_100000_2.mp4", "20240101_100000_1.mp4",
                                   "20240101_100000.mp4", "old.mp4"}));
  EXPECT_EQ(w.findChild<QListWidget*>("listWidget_sidebar")->currentRow(), 1);
  EXPECT_EQ(w.findChild<QStackedWidget*>("stackedWidget")->currentIndex(), 1);
  EXPECT_NE(NameEditor(w), nullptr);
  EXPECT_EQ(Table(w)->currentIndex(), Model(w)->index(0, 0));
  TypeNewName(w, "trip.mp4");
  EXPECT_TRUE(QFile::exists(m_folder + "/trip.mp4"));
  EXPECT_FALSE(QFile::exists(m_folder + "/20240101_100000_2.mp4"));
}

}  // namespace

#include "recordlist_test.moc"
