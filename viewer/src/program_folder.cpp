#include "program_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include "settings.h"

namespace velmora::viewer {

QString default_program_folder() {
  const QString env = qEnvironmentVariable("VELMORA_HOME");
  if (!env.isEmpty()) return env;
  return QDir::homePath() + QStringLiteral("/.local/share/velmora");
}

bool write_start_picture(const QString& path) {
  QImage image(704, 480, QImage::Format_RGB32);
  QPainter p(&image);
  QLinearGradient g(0, 0, 0, 480);
  g.setColorAt(0, QColor(16, 32, 64));
  g.setColorAt(1, QColor(4, 8, 20));
  p.fillRect(image.rect(), g);
  p.setPen(QColor(150, 180, 220));
  QFont title(QStringLiteral("Sans"), 48, QFont::Bold);
  p.setFont(title);
  p.drawText(QRect(0, 150, 704, 100), Qt::AlignCenter, QStringLiteral("Velmora"));
  QFont sub(QStringLiteral("Sans"), 18);
  p.setFont(sub);
  p.setPen(QColor(110, 130, 160));
  p.drawText(QRect(0, 260, 704, 60), Qt::AlignCenter, QStringLiteral("ZEB-5"));
  p.end();
  return image.save(path, "JPEG", 90);
}

bool prepare_program_folder(const QString& folder, QString* error) {
  QDir dir(folder);
  if (!dir.mkpath(QStringLiteral("img"))) {
    if (error) *error = QStringLiteral("cannot create %1").arg(dir.filePath(QStringLiteral("img")));
    return false;
  }
  const QString start = dir.filePath(QStringLiteral("start.jpg"));
  if (!QFile::exists(start) && !write_start_picture(start)) {
    if (error) *error = QStringLiteral("cannot write %1").arg(start);
    return false;
  }
  const QString sn = dir.filePath(QString::fromLatin1(kViewerSettingFile));
  // A fresh folder starts with the high display rate ("High"): a current PC
  // decodes every camera at full rate. An existing file keeps its value.
  if (!QFile::exists(sn) && !ViewerSettings(sn.toStdString()).write("speed", "1")) {
    if (error) *error = QStringLiteral("cannot write %1").arg(sn);
    return false;
  }
  return true;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::acquire(const QString& folder) {
  if (fd_ >= 0) return true;
  const QByteArray path = QFile::encodeName(QDir(folder).filePath(QStringLiteral("velmora.lock")));
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

}  // namespace velmora::viewer
