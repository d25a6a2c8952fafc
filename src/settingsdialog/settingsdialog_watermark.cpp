#include "settingsdialog/settingsdialog.h"

#include "settings.h"
#include "settingsdialog/settingsdialog_pickers.h"
#include "settingsdialog/watermarkpreviewer.h"
#include "ui_settingsdialog.h"

namespace {

// The recorder draws an unset watermark colour in red; the preview matches.
QColor WatermarkColor() {
  const QColor color = Settings::Instance()->GetWatermarkColor();
  return color.isValid() ? color : QColor(Qt::red);
}

}  // namespace

void SettingsDialog::InitWatermarkPage() {
  Settings* settings = Settings::Instance();
  const QString text = settings->GetWatermarkText();
  m_ui->lineEdit_textwatermark->setText(text);
  m_watermarkPreviewer = new WatermarkPreviewer(m_ui->page_5);
  m_watermarkPreviewer->SetPreviewHeight(245);
  m_watermarkPreviewer->SetText(text);
  m_watermarkPreviewer->SetTextColor(WatermarkColor());
  m_watermarkPreviewer->SetTextFont(settings->GetWatermarkFont());
  double x = 0, y = 0;
  if (settings->GetWatermarkPos(x, y)) m_watermarkPreviewer->SetRelativePos(x, y);
  m_watermarkPreviewer->move(10, 120);
  m_watermarkPreviewer->show();
  connect(m_ui->lineEdit_textwatermark, &QLineEdit::textChanged, this,
          &SettingsDialog::onWatermarkChanged);
  connect(m_ui->btn_wm_full_preview, &QPushButton::clicked, this,
          &SettingsDialog::onWatermarkPreview);
}

void SettingsDialog::onWatermarkChanged(const QString& text) {
  m_watermarkPreviewer->SetText(text);
}

void SettingsDialog::on_pushButton_3_clicked() {
  bool accepted = false;
  const QFont font = PickFont(Settings::Instance()->GetWatermarkFont(), &accepted);
  if (!accepted) return;
  Settings::Instance()->SetWatermarkFont(font);
  m_watermarkPreviewer->SetTextFont(font);
}

void SettingsDialog::on_pushButton_4_clicked() {
  bool accepted = false;
  const QColor color = PickColor(Settings::Instance()->GetWatermarkColor(), &accepted);
  if (!accepted) return;
  Settings::Instance()->SetWatermarkColor(color);
  m_watermarkPreviewer->SetTextColor(color);
}

void SettingsDialog::onWatermarkPreview() {
  double x = 0, y = 0;
  m_watermarkPreviewer->GetRelativePos(x, y);
  // Save first: a refused save keeps this dialog open, and a full-screen
  // window on top of it would hide the message.
  if (!SaveSettings()) return;
  Settings* settings = Settings::Instance();
  auto* full = new WatermarkPreviewer(this);
  full->SetText(m_ui->lineEdit_textwatermark->text());
  full->SetTextColor(WatermarkColor());
  full->SetTextFont(settings->GetWatermarkFont());
  full->ShowFullScreen();
  full->SetRelativePos(x, y);
  close();
}

void SettingsDialog::SaveWatermarkPage() {
  Settings* settings = Settings::Instance();
  const QString text = m_ui->lineEdit_textwatermark->text();
  settings->SetWatermarkText(text);
  if (text.isEmpty()) return;
  double x = 0, y = 0;
  m_watermarkPreviewer->GetRelativePos(x, y);
  settings->SetWatermarkPos(x, y);
}
