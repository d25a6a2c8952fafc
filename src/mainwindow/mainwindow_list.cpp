// The list page of the main window: the recorded files of the save folder,
// with play, rename, open-folder and delete per row.

#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QUrl>

#include <glog/logging.h>

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "mainwindow/mainwindow.h"
#include "mainwindow/shadowmenu.h"
#include "settings.h"
#include "ui_mainwindow.h"
#include "widgets/messagedialog.h"

namespace {

// The name cell keeps the path of the file it lists, which may differ from
// the save folder and the shown text (a folder changed since, an upper-case
// suffix, an edit not yet applied).
constexpr int kFilePathRole = Qt::UserRole + 1;

constexpr int kNameColumn = 0;
constexpr int kDateColumn = 3;
constexpr int kMoreColumn = 4;

QString SaveFolder() { return Settings::Instance()->GetGeneralFilesaveurl(); }

// The recordings of a folder: readable "*.mp4" files in any letter case,
// by name, as canonical paths.
QStringList ListRecordings(const QString& folder) {
  QStringList paths;
  const QDir dir(folder);
  if (folder.isEmpty() || !dir.exists()) return paths;
  const QString base = dir.canonicalPath();
  const QStringList names = dir.entryList(QStringList{"*.mp4"},
                                          QDir::Files | QDir::Readable, QDir::Name);
  for (const QString& name : names) paths << base + "/" + name;
  return paths;
}

constexpr char kSuffix[] = ".mp4";

QStandardItem* CentredItem(const QString& text) {
  auto* item = new QStandardItem(text);
  item->setTextAlignment(Qt::AlignCenter);
  return item;
}

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

}  // namespace

void MainWindow::InitRecordTable() {
  m_recordModel = new QStandardItemModel(this);
  m_recordModel->setColumnCount(5);
  const QStringList headers = {QStringLiteral("名称"), QStringLiteral("时长"),
                               QStringLiteral("大小"), QStringLiteral("日期"),
                               QStringLiteral("更多")};
  for (int i = 0; i < headers.size(); ++i)
    m_recordModel->setHeaderData(i, Qt::Horizontal, headers[i], Qt::EditRole);

  QTableView* view = m_ui->tableView;
  view->setModel(m_recordModel);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setAlternatingRowColors(true);
  connect(view, &QTableView::clicked, this, &MainWindow::onTableClicked);
  connect(view, &QTableView::doubleClicked, this, &MainWindow::onTableDoubleClicked);
  // The editor writes the typed name into the cell when it commits.
  connect(m_recordModel, &QStandardItemModel::itemChanged, this, &MainWindow::ApplyRename);
  view->setFocusPolicy(Qt::NoFocus);
  view->verticalHeader()->setDefaultSectionSize(50);
  const int widths[] = {189, 110, 90, 170, 41};
  for (int i = 0; i < 5; ++i) view->setColumnWidth(i, widths[i]);

  FillRecordList();
  // One-time order, newest first: the date text sorts as the time does.
  view->sortByColumn(kDateColumn, Qt::DescendingOrder);
}

void MainWindow::FillRecordList() {
  const QStringList paths = ListRecordings(SaveFolder());
  for (int i = 0; i < paths.size(); ++i) AddRecordRow(paths[i], i);
}

void MainWindow::ReloadRecordList() {
  auto* model = m_ui ? qobject_cast<QStandardItemModel*>(m_ui->tableView->model()) : nullptr;
  if (!model) return;
  CommitRenameEditor();  // a name being typed is kept, as by a page switch
  model->removeRows(0, model->rowCount());
  FillRecordList();
}

void MainWindow::AddRecordRow(const QString& path, int row) {
  auto* model = qobject_cast<QStandardItemModel*>(m_ui->tableView->model());
  if (!model) {
    LOG(ERROR) << "model is null";
    return;
  }
  const QFileInfo info(path);
  auto* name = new QStandardItem(info.completeBaseName() + kSuffix);
  name->setData(info.absoluteFilePath(), kFilePathRole);

  int64_t seconds = 0;
  GetMediaDuration(path, seconds);
  if (seconds < 0) seconds = 0;

  // Some file systems keep no creation time: the last change stands in.
  QDateTime created = info.birthTime();
  if (!created.isValid()) created = info.lastModified();

  model->setItem(row, kNameColumn, name);
  model->setItem(row, 1, CentredItem(FormatDuration(static_cast<uint64_t>(seconds))));
  model->setItem(row, 2, CentredItem(FormatFileSize(info.size())));
  model->setItem(row, kDateColumn, CentredItem(created.toString("yyyy-MM-dd hh:mm:ss")));
  model->setItem(row, kMoreColumn, CentredItem("..."));
}

void MainWindow::ShowRecordedFiles(const std::vector<std::string>& files) {
  // Each new row goes on top, so that the sort (stable, by the second) keeps
  // the newest recording above an older file of the same second.
  for (const std::string& file : files) {
    m_recordModel->insertRow(0);
    AddRecordRow(QString::fromStdString(file), 0);
  }
  m_ui->tableView->sortByColumn(kDateColumn, Qt::DescendingOrder);
  m_ui->tableView->selectRow(0);
  m_ui->listWidget_sidebar->setCurrentRow(1);
  onRename();
}

bool MainWindow::GetMediaDuration(const QString& path, int64_t& seconds) {
  if (path.isEmpty()) {
    LOG(ERROR) << "file is empty";
    return false;
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    LOG(ERROR) << "out of memory for " << path.toStdString();
    return false;
  }
  // A failed open frees the context.
  if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0) {
    LOG(ERROR) << "open file " << path.toStdString() << " failed";
    return false;
  }
  std::unique_ptr<AVFormatContext, InputCloser> context(raw);
  for (unsigned int i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0 &&
        stream->time_base.den > 0) {
      seconds = stream->duration * stream->time_base.num / stream->time_base.den;
    } else if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
      // No duration on the stream (fragmented files): the container's.
      seconds = context->duration / AV_TIME_BASE;
    }
    break;
  }
  return true;
}

QString MainWindow::FormatFileSize(int64_t bytes) {
  if (bytes > 1073741824) return QString("%1 G").arg(bytes / 1073741824.0, 0, 'f', 2);
  if (bytes > 1048576) return QString("%1 M").arg(bytes / 1048576.0, 0, 'f', 2);
  if (bytes > 1024) return QString("%1 K").arg(bytes / 1024.0, 0, 'f', 2);
  return QString("%1 B").arg(bytes);
}

QString MainWindow::RowFilePath(int row) const {
  const QModelIndex cell = m_recordModel->index(row, kNameColumn);
  const QString path = cell.data(kFilePathRole).toString();
  return path.isEmpty() ? SaveFolder() + "/" + cell.data().toString() : path;
}

void MainWindow::ApplyRename(QStandardItem* item) {
  if (!m_renamePending || item->index() != QModelIndex(m_renameIndex)) return;
  m_renamePending = false;  // before the item is touched again below
  QString newName = item->text().trimmed();
  if (newName == m_oldName) return;
  const QString oldPath = RowFilePath(item->row());
  const QString folder = QFileInfo(oldPath).absolutePath();
  // The file stays a recording: it keeps its suffix whatever is typed.
  if (!newName.isEmpty() && !newName.endsWith(kSuffix, Qt::CaseInsensitive)) newName += kSuffix;
  if (folder + "/" + newName == oldPath) {
    item->setText(m_oldName);
    return;
  }
  QString refusal;
  if (newName.isEmpty())
    refusal = QStringLiteral("文件名不能为空");
  else if (newName.contains('/') || newName.contains(QChar(0)))
    refusal = QStringLiteral("文件名不能包含“/”");
  else if (QFileInfo::exists(folder + "/" + newName) || QFileInfo(folder + "/" + newName).isSymLink())
    refusal = QStringLiteral("文件名已存在");
  else if (!QFile::rename(oldPath, folder + "/" + newName))
    refusal = QStringLiteral("重命名失败");
  if (refusal.isEmpty()) {
    item->setData(folder + "/" + newName, kFilePathRole);
    item->setText(newName);
    return;
  }
  LOG(WARNING) << "rename " << oldPath.toStdString() << " to " << newName.toStdString()
               << " refused: " << refusal.toStdString();
  // Nothing is renamed: the row keeps naming the file it lists.
  item->setText(m_oldName);
  // Told once the editor is closed.
  QTimer::singleShot(0, this, [this, refusal] { MessageDialog::ShowMessage(this, refusal); });
}

void MainWindow::CommitRenameEditor() {
  if (!m_renamePending || !m_ui) return;
  QTableView* view = m_ui->tableView;
  QWidget* editor = view->indexWidget(m_renameIndex);
  if (!editor) return;
  // As the delegate does on Return: write the text into the cell, then close.
  QAbstractItemDelegate* delegate = view->itemDelegate(m_renameIndex);
  emit delegate->commitData(editor);
  emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void MainWindow::onTableClicked(const QModelIndex&) {
  if (m_ui->tableView->currentIndex().column() != kMoreColumn) return;
  if (!m_rowMenu) {
    m_rowMenu = new ShadowMenu(this);
    m_rowMenu->addAction(QStringLiteral("播放"), this, &MainWindow::onPlay);
    m_rowMenu->addAction(QStringLiteral("重命名"), this, &MainWindow::onRename);
    m_rowMenu->addAction(QStringLiteral("打开文件位置"), this, &MainWindow::onOpenFileCategory);
    m_rowMenu->addAction(QStringLiteral("删除"), this, &MainWindow::onDelete);
  }
  m_rowMenu->popup(QCursor::pos());
}

void MainWindow::onTableDoubleClicked(const QModelIndex& index) {
  if (!index.isValid()) return;
  OpenWithDesktop(RowFilePath(index.row()), QStringLiteral("没有可以播放该文件的程序"));
}

void MainWindow::onPlay() {
  const int row = m_ui->tableView->currentIndex().row();
  if (row < 0) return;
  OpenWithDesktop(RowFilePath(row), QStringLiteral("没有可以播放该文件的程序"));
}

void MainWindow::onOpenFileCategory() {
  // The row's own folder: it stays where it was when the save folder changed.
  const int row = m_ui->tableView->currentIndex().row();
  const QString folder = row < 0 ? SaveFolder() : QFileInfo(RowFilePath(row)).absolutePath();
  OpenWithDesktop(folder, QStringLiteral("没有可以打开文件位置的程序"));
}

void MainWindow::OpenWithDesktop(const QString& path, const QString& failure) {
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
  LOG(WARNING) << "the desktop cannot open " << path.toStdString();
  MessageDialog::ShowMessage(this, failure);
}

void MainWindow::onRename() {
  auto* model = qobject_cast<QStandardItemModel*>(m_ui->tableView->model());
  if (!model) return;
  const QModelIndex cell = model->index(m_ui->tableView->currentIndex().row(), kNameColumn);
  if (!cell.isValid()) return;
  m_ui->tableView->setCurrentIndex(cell);  // applies an edit still open elsewhere
  m_oldName = cell.data().toString();
  m_ui->tableView->edit(cell);
  m_renameIndex = cell;
  m_renamePending = true;
  LOG(INFO) << "name editor open on " << m_oldName.toStdString();
  // Only the base name is selected: typing replaces it, the suffix stays.
  if (auto* editor = qobject_cast<QLineEdit*>(m_ui->tableView->indexWidget(cell))) {
    const int suffix = m_oldName.endsWith(kSuffix, Qt::CaseInsensitive) ? int(sizeof(kSuffix)) - 1 : 0;
    editor->setSelection(0, m_oldName.size() - suffix);
  }
}

void MainWindow::onDelete() {
  MessageDialog dialog;
  if (dialog.Warning(QStringLiteral("确认删除该文件吗？"), true) != QDialog::Accepted) return;
  const int row = m_ui->tableView->currentIndex().row();
  if (row < 0 || row >= m_recordModel->rowCount()) return;
  const QString path = RowFilePath(row);
  LOG(INFO) << "File is " << path.toStdString();
  // A write-protected file is made writable first; the rest of its mode stays.
  QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner |
                                  QFileDevice::WriteUser);
  m_recordModel->removeRow(row);
  if (!QFile::remove(path)) LOG(INFO) << "remove failed:" << path.toStdString();
}
