#include "widgets/messagedialog.h"

#include <QFontMetrics>
#include <QPixmap>

#include "constants.h"
#include "ui_messagedialog.h"
#include "widgets/customtitlebar.h"
#include "widgets/widgetstyle.h"

MessageDialog::MessageDialog(QWidget* parent) : FramelessDialog(parent), m_ui(new Ui_MessageDialog) {
  m_ui->setupUi(this);
  m_style.reset(StyleFactory::Instance()->CreateStyle(1));
  if (m_style) m_style->Apply(this);
  InitTitleBar();
  m_ui->label_2->setFixedSize(40, 40);
}

MessageDialog::~MessageDialog() { delete m_ui; }

void MessageDialog::InitTitleBar() {
  m_titleBar = new CustomTitleBar(this);
  m_titleBar->move(0, 0);
  connect(m_titleBar, &CustomTitleBar::signalButtonCloseClicked, this, &QDialog::reject);
  m_titleBar->SetButtonType(4);
  m_titleBar->SetTitleWidth(width());
  m_titleBar->SetTitleHeight(50);
  m_titleBar->SetTitleContent(QString::fromUtf8(kAppName), 9);
}

void MessageDialog::ResetControlsLayout(QString& msg) {
  QFontMetrics metrics = m_ui->label->fontMetrics();
  const int advance = metrics.horizontalAdvance(msg);
  setFixedWidth(((advance + 40) * 3) / 2);
  m_ui->label_2->setFixedWidth(40);
  m_ui->label->setFixedHeight(metrics.height());
  m_ui->label->setFixedWidth(advance);
  const int x = (width() - m_ui->label_2->width() - advance - 5) / 2;
  m_ui->label_2->move(x, m_ui->label_2->y());
  m_ui->label->move(x + 45, m_ui->label_2->y() + (m_ui->label_2->height() - metrics.height()) / 2);
  m_ui->label->setText(msg);
  m_ui->pushButton->setFixedHeight(40);
  m_ui->pushButton_2->setFixedHeight(40);
}

int MessageDialog::Information(const QString& text) {
  m_ui->label_2->setPixmap(QPixmap(":/information.png"));
  QString message = text;
  ResetControlsLayout(message);
  m_ui->pushButton->move((width() - m_ui->pushButton->width()) / 2, m_ui->pushButton->y());
  m_ui->pushButton_2->hide();
  return exec();
}

int MessageDialog::Warning(const QString& text, bool withCancel) {
  m_ui->label_2->setPixmap(QPixmap(":/warnning.png"));
  QString message = text;
  ResetControlsLayout(message);
  QPushButton* ok = m_ui->pushButton;
  if (withCancel) {
    ok->move((width() - ok->width()) / 5, ok->y());
    m_ui->pushButton_2->move(width() - (ok->width() * 6) / 5, ok->y());
  } else {
    ok->move((width() - ok->width()) / 2, ok->y());
  }
  m_ui->pushButton_2->setVisible(withCancel);
  return exec();
}

void MessageDialog::ShowMessage(QWidget* parent, QString text) {
  MessageDialog dialog(parent);
  dialog.Warning(text, false);
}

void MessageDialog::ShowInformation(QWidget* parent, QString text) {
  MessageDialog dialog(parent);
  dialog.Information(text);
}

void MessageDialog::on_pushButton_clicked() { accept(); }

void MessageDialog::on_pushButton_2_clicked() { reject(); }
