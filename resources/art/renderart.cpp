// Renders resources/art/<name>.svg to resources/<name>.png at the sizes in
// sizes.txt. Run through render.sh; the PNGs are committed.
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: renderart <art folder> <output folder>\n");
    return 2;
  }
  const QString artDir = QString::fromLocal8Bit(argv[1]);
  const QString outDir = QString::fromLocal8Bit(argv[2]);
  QFile table(artDir + "/sizes.txt");
  if (!table.open(QIODevice::ReadOnly | QIODevice::Text)) return 1;
  QTextStream in(&table);
  int failures = 0;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
    const QString name = parts.value(0);
    const int size = parts.value(1).toInt();
    QSvgRenderer renderer(artDir + "/" + name + ".svg");
    if (!renderer.isValid() || size <= 0) {
      std::fprintf(stderr, "cannot render %s\n", qPrintable(name));
      ++failures;
      continue;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (!image.save(outDir + "/" + name + ".png")) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
