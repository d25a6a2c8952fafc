#include "widgets/widgetstyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimeEdit>

namespace {

StyleFactory g_styleFactory;

// Sets the sheet read from a resource file; a missing file sets nothing.
void SetSheetFromFile(QWidget* widget, const QString& path) {
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    widget->setStyleSheet(QString(QLatin1String(file.readAll())));
    file.close();
  }
}

}  // namespace

bool WidgetStyle::Apply(QObject* object) {
  if (!object) return false;
  for (QObject* child : object->children()) {
    if (IsTarget(child))
      ApplyStyle(qobject_cast<QWidget*>(child));
    else
      Apply(qobject_cast<QWidget*>(child));
  }
  return true;
}

bool ComboBoxStyle::IsTarget(QObject* object) { return qobject_cast<QComboBox*>(object); }

bool ComboBoxStyle::ApplyStyle(QWidget* widget) {
  auto* combo = qobject_cast<QComboBox*>(widget);
  if (!combo) return false;
  SetSheetFromFile(combo, ":/comboBox.qss");
  // A plain list view takes the item rules of the sheet; the popup gets its
  // rounded corners from a frameless, translucent window.
  combo->setView(new QListView());
  QWidget* popup = combo->view()->window();
  popup->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
  popup->setAttribute(Qt::WA_TranslucentBackground);
  return true;
}

bool PushButtonStyle::IsTarget(QObject* object) { return qobject_cast<QPushButton*>(object); }

bool PushButtonStyle::ApplyStyle(QWidget* widget) {
  auto* button = qobject_cast<QPushButton*>(widget);
  if (!button) return false;
  button->setStyleSheet(
      "QPushButton {color:black; border: 1px solid #C9C9C9; border-radius:5px; }"
      "QPushButton:hover { background:#F6F6F6 }"
      "QPushButton:pressed {background:#46D4A6;color:white }");
  return true;
}

bool LineEditStyle::IsTarget(QObject* object) { return qobject_cast<QLineEdit*>(object); }

bool LineEditStyle::ApplyStyle(QWidget* widget) {
  auto* edit = qobject_cast<QLineEdit*>(widget);
  if (!edit) return false;
  edit->setStyleSheet(
      "QLineEdit {border: 1px solid #E9E3E4;border-radius: 5px;} "
      "QLineEdit:disabled{border:1px solid #E0E0E0;border-radius: 5px;background-color:#E0E0E0}");
  return true;
}

bool CheckBoxStyle::IsTarget(QObject* object) { return qobject_cast<QCheckBox*>(object); }

bool CheckBoxStyle::ApplyStyle(QWidget* widget) {
  auto* box = qobject_cast<QCheckBox*>(widget);
  if (!box) return false;
  box->setStyleSheet(
      "QCheckBox::indicator {width:20px;height:20px}"
      "QCheckBox::indicator:unchecked {image: url(:/checkbox-unchecked.png);}"
      "QCheckBox::indicator:checked {image: url(:/checkbox-checked.png);}");
  return true;
}

bool RadioButtonStyle::IsTarget(QObject* object) { return qobject_cast<QRadioButton*>(object); }

bool RadioButtonStyle::ApplyStyle(QWidget* widget) {
  auto* button = qobject_cast<QRadioButton*>(widget);
  if (!button) return false;
  button->setStyleSheet(
      "QRadioButton::indicator {width:20px;height:20px}"
      "QRadioButton::indicator:unchecked {image: url(:/radiobutton-unchecked.png);}"
      "QRadioButton::indicator:checked {image: url(:/radiobutton-checked.png);}"
      "QRadioButton::indicator:unchecked:disabled {image: url(:/radiobutton-disabled.png);}"
      "QRadioButton::indicator:checked:disabled {image: url(:/radiobutton-disabled.png);}");
  return true;
}

bool TimeEditStyle::IsTarget(QObject* object) { return qobject_cast<QTimeEdit*>(object); }

bool TimeEditStyle::ApplyStyle(QWidget* widget) {
  auto* edit = qobject_cast<QTimeEdit*>(widget);
  if (!edit) return false;
  SetSheetFromFile(edit, ":/timeedit.qss");
  return true;
}

bool SliderStyle::IsTarget(QObject* object) { return qobject_cast<QSlider*>(object); }

bool SliderStyle::ApplyStyle(QWidget* widget) {
  auto* slider = qobject_cast<QSlider*>(widget);
  if (!slider) return false;
  SetSheetFromFile(slider, ":/slider.qss");
  return true;
}

StyleFactory* StyleFactory::Instance() { return &g_styleFactory; }

WidgetStyle* StyleFactory::CreateStyle(int index) {
  switch (index) {
    case 0: return new ComboBoxStyle();
    case 1: return new PushButtonStyle();
    case 2: return new LineEditStyle();
    case 3: return new CheckBoxStyle();
    case 4: return new RadioButtonStyle();
    case 5: return new TimeEditStyle();
    case 6: return new SliderStyle();
    default: return nullptr;
  }
}
