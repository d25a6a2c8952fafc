#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <memory>

#include "mainwindow/guitestenv.h"
#include "mainwindow/shadowmenu.h"
#include "widgets/widgetstyle.h"

namespace {

class WidgetStyleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveDisplay()) GTEST_SKIP() << "needs the test display";
    guitest::App();
  }
  static std::unique_ptr<WidgetStyle> Create(int index) {
    return std::unique_ptr<WidgetStyle>(StyleFactory::Instance()->CreateStyle(index));
  }
};

TEST_F(WidgetStyleTest, FactoryIndexesPickTheWidgetClass) {
  QComboBox combo;
  QPushButton button;
  QLineEdit edit;
  QCheckBox check;
  QRadioButton radio;
  QTimeEdit time;
  QSlider slider;
  QWidget* widgets[] = {&combo, &button, &edit, &check, &radio, &time, &slider};
  for (int index = 0; index < 7; ++index) {
    auto style = Create(index);
    ASSERT_NE(style, nullptr) << index;
    for (int other = 0; other < 7; ++other)
      EXPECT_EQ(style->IsTarget(widgets[other]), other == index) << index << " " << other;
    EXPECT_FALSE(style->ApplyStyle(nullptr));
    EXPECT_FALSE(style->ApplyStyle(widgets[(index + 1) % 7]));
    EXPECT_TRUE(style->ApplyStyle(widgets[index]));
    EXPECT_FALSE(widgets[index]->styleSheet().isEmpty()) << index;
  }
  EXPECT_EQ(Create(7), nullptr);
  EXPECT_EQ(Create(-1), nullptr);
  EXPECT_EQ(StyleFactory::Instance(), StyleFactory::Instance());
}

TEST_F(WidgetStyleTest, ApplyWalksThroughContainersButNotIntoTheRoot) {
  auto style = Create(1);
  EXPECT_FALSE(style->Apply(nullptr));

  QPushButton root;
  QWidget window;
  auto* group = new QGroupBox(&window);
  auto* inner = new QPushButton(group);
  auto* direct = new QPushButton(&window);
  auto* other = new QLineEdit(&window);
  EXPECT_TRUE(style->Apply(&window));
  EXPECT_TRUE(inner->styleSheet().contains("#C9C9C9"));
  EXPECT_TRUE(direct->styleSheet().contains("border-radius:5px"));
  EXPECT_TRUE(other->styleSheet().isEmpty());
  EXPECT_TRUE(window.styleSheet().isEmpty());
  EXPECT_TRUE(style->Apply(&root));
  EXPECT_TRUE(root.styleSheet().isEmpty());
}

TEST_F(WidgetStyleTest, ComboBoxGetsTheResourceSheetAndAFramelessPopup) {
  QComboBox combo;
  combo.addItems({"a", "b"});
  ASSERT_TRUE(Create(0)->ApplyStyle(&combo));
  EXPECT_TRUE(combo.styleSheet().contains("QComboBox::down-arrow"));
  EXPECT_TRUE(combo.styleSheet().contains("#FDFBFB"));
  ASSERT_NE(qobject_cast<QListView*>(combo.view()), nullptr);
  QWidget* popup = combo.view()->window();
  EXPECT_TRUE(popup->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_TRUE(popup->windowFlags().testFlag(Qt::NoDropShadowWindowHint));
  EXPECT_TRUE(popup->testAttribute(Qt::WA_TranslucentBackground));
  EXPECT_EQ(combo.count(), 2);
}

TEST_F(WidgetStyleTest, SheetFilesAreCompiledIn) {
  for (const char* path : {":/comboBox.qss", ":/timeedit.qss", ":/slider.qss"}) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
  }
  QSlider slider;
  ASSERT_TRUE(Create(6)->ApplyStyle(&slider));
  EXPECT_TRUE(slider.styleSheet().contains("QSlider::handle:horizontal:hover"));
  QTimeEdit time;
  ASSERT_TRUE(Create(5)->ApplyStyle(&time));
  EXPECT_TRUE(time.styleSheet().contains(".QTimeEdit::down-arrow"));
}

// Every image the shell's sheets and widgets name is among the resources.
TEST_F(WidgetStyleTest, EveryNamedImageLoads) {
  const char* images[] = {
      ":/logo.png", ":/mode.png", ":/audio_type.png", ":/resolution.png", ":/record.png",
      ":/pause.png", ":/stop.png", ":/stop-disable.png", ":/category_record.png",
      ":/category_record_selected.png", ":/category_videolist.png",
      ":/category_videolist_selected.png", ":/min.png", ":/min-hover.png", ":/close.png",
      ":/close-hover.png", ":/help.png", ":/help-hover.png", ":/information.png",
      ":/warnning.png", ":/pause-noborder.png", ":/play-noborder.png", ":/stop-noborder.png",
      ":/down-arrow.png", ":/up-arrow.png", ":/checkbox-unchecked.png", ":/checkbox-checked.png",
      ":/radiobutton-unchecked.png", ":/radiobutton-checked.png", ":/radiobutton-disabled.png"};
  for (const char* image : images) EXPECT_FALSE(QPixmap(image).isNull()) << image;
}

// The indicator images really show: the accent colour of the checked image
// is drawn where the indicator sits.
TEST_F(WidgetStyleTest, CheckedIndicatorsShowTheProgramsImages) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* check = new QCheckBox(&window);
  auto* radio = new QRadioButton(&window);
  layout->addWidget(check);
  layout->addWidget(radio);
  check->setChecked(true);
  radio->setChecked(true);
  Create(3)->Apply(&window);
  Create(4)->Apply(&window);
  window.resize(100, 80);
  for (QWidget* w : {static_cast<QWidget*>(check), static_cast<QWidget*>(radio)}) {
    const QImage image = w->grab().toImage();
    bool accent = false;
    for (int y = 0; y < image.height() && !accent; ++y)
      for (int x = 0; x < std::min(image.width(), 24) && !accent; ++x)
        accent = image.pixelColor(x, y) == QColor(0x46, 0xD4, 0xA6);
    EXPECT_TRUE(accent) << w->metaObject()->className();
  }
}

TEST_F(WidgetStyleTest, ShadowMenuIsAFramelessTranslucentPopup) {
  ShadowMenu menu;
  EXPECT_EQ(menu.objectName(), "CustomMenu");
  EXPECT_EQ(menu.windowType(), Qt::Popup);
  EXPECT_TRUE(menu.windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_TRUE(menu.testAttribute(Qt::WA_TranslucentBackground));
  EXPECT_EQ(menu.font().pointSize(), 15);
  EXPECT_TRUE(menu.styleSheet().contains("QMenu::item:selected { background-color: #E7E7E7;}"));
}

}  // namespace
