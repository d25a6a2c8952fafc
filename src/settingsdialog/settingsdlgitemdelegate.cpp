#include "settingsdialog/settingsdlgitemdelegate.h"

#include <QPainter>

SettingsDlgItemDelegate::SettingsDlgItemDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

SettingsDlgItemDelegate::~SettingsDlgItemDelegate() = default;

void SettingsDlgItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
  if (!index.isValid()) return;
  QRect r = option.rect;
  const QString text = index.data(Qt::DisplayRole).toString();
  if (option.state & QStyle::State_Selected) {
    painter->fillRect(r, QColor(245, 245, 245, 255));
    painter->setBrush(Qt::NoBrush);
  }
  r.setLeft(r.width() / 5);
  QRect textRect = r;
  textRect.setLeft(r.left() + 10);
  textRect.setTop(r.top() + 10);
  textRect.setBottom(r.top() + 30);
  painter->drawText(textRect, Qt::AlignLeft, text);
}

QSize SettingsDlgItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(40);
  return size;
}
