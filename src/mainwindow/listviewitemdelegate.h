#pragma once

#include <QStyledItemDelegate>

// Paints a sidebar row: icon (role Qt::UserRole + 1, or + 2 when selected)
// and text, on a light band when selected.
class ListviewItemDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit ListviewItemDelegate(QObject* parent = nullptr);
  ~ListviewItemDelegate() override;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
