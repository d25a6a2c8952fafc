#include "mainwindow/listviewitemdelegate.h"

#include <QPainter>
#include <QPixmap>

ListviewItemDelegate::ListviewItemDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

ListviewItemDelegate::~ListviewItemDelegate() = default;

QSize ListviewItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setWidth(166);
  size.setHeight(70);
  return size;
}

void ListviewItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  if (!index.isValid()) return;
  painter->save();
  QRect r = option.rect;
  const QString text = index.data(Qt::DisplayRole).toString();
  QString icon = index.data(Qt::UserRole + 1).toString();
  QPen pen;
  if (option.state & QStyle::State_Selected) {
    painter->fillRect(r, QColor(245, 245, 245));
    painter->setBrush(Qt::NoBrush);
    pen.setColor(QColor(7, 193, 96));
    icon = index.data(Qt::UserRole + 2).toString();
  } else {
    pen.setColor(QColor(102, 102, 102));
  }
  painter->setPen(pen);
  r.setLeft(r.width() / 9);

  QRect iconCell = r;
  iconCell.setRight(r.left() + 50);
  QRect square(0, 0, 30, 30);
  square.moveCenter(iconCell.center());
  painter->drawPixmap(square, QPixmap(icon).scaled(square.size(), Qt::KeepAspectRatio,
                                                   Qt::SmoothTransformation));

  QRect textCell = r;
  textCell.setLeft(r.left() + 50);
  if (index.row() == 1) textCell.setBottom(r.bottom() - 6);
  painter->drawText(textCell, Qt::AlignLeft | Qt::AlignVCenter, text);
  painter->restore();
}
