#pragma once

class QObject;
class QWidget;

// Gives the widgets of one class in a window's tree their style sheet.
class WidgetStyle {
 public:
  virtual ~WidgetStyle() = default;
  // The object is of this style's widget class.
  virtual bool IsTarget(QObject* object) = 0;
  // Styles one widget; false when it is not of this style's class.
  virtual bool ApplyStyle(QWidget* widget) = 0;
  // Styles every target below the object (not the object itself); the walk
  // does not descend into targets.
  virtual bool Apply(QObject* object);
};

class ComboBoxStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class PushButtonStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class LineEditStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class CheckBoxStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class RadioButtonStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class TimeEditStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class SliderStyle : public WidgetStyle {
 public:
  bool IsTarget(QObject* object) override;
  bool ApplyStyle(QWidget* widget) override;
};

class StyleFactory {
 public:
  static StyleFactory* Instance();
  // 0 combo box, 1 push button, 2 line edit, 3 check box, 4 radio button,
  // 5 time edit, 6 slider; null for any other index. The caller owns it.
  WidgetStyle* CreateStyle(int index);
};
