#include "program_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

namespace {

QString errno_text() { return QString::fromLocal8Bit(std::strerror(errno)); }

// A folder for this user alone: made with mode 0700 when missing; an
// existing one must be a real folder (lstat: a link is refused, never
// followed), owned by this user and closed to group and others.
bool private_folder(const QString& path, QString* why) {
  const QByteArray name = QFile::encodeName(path);
  if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
    *why = QStringLiteral("cannot create %1: %2").arg(path, errno_text());
    return false;
  }
  struct stat st {};
  if (::lstat(name.constData(), &st) != 0) {
    *why = QStringLiteral("cannot examine %1: %2").arg(path, errno_text());
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = QStringLiteral("%1 is not a folder").arg(path);
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    *why = QStringLiteral("%1 belongs to another user").arg(path);
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    *why = QStringLiteral("%1 is open to other users").arg(path);
    return false;
  }
  return true;
}

// A short name for a program folder, the same on every start, so that each
// program folder has a picture folder of its own.
QString folder_key(const QString& program_folder) {
  QString canonical = QFileInfo(program_folder).canonicalFilePath();
  if (canonical.isEmpty()) canonical = QDir(program_folder).absolutePath();
  return QString::fromLatin1(QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
}

// Puts a symbolic link to target at path: made beside it and renamed over
// it, so that whatever stood there (a file or link) is replaced, never
// written through. A real folder there (an "img" folder of an earlier
// version) holds only pictures of earlier runs and is removed first.
bool place_link(const QString& path, const QString& target, QString* why) {
  const QByteArray name = QFile::encodeName(path), to = QFile::encodeName(target);
  struct stat st {};
  if (::lstat(name.constData(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      const ssize_t n = ::readlink(name.constData(), buf, sizeof buf);
      if (n >= 0 && QByteArray(buf, static_cast<qsizetype>(n)) == to) return true;
    } else if (S_ISDIR(st.st_mode) && !QDir(path).removeRecursively()) {
      *why = QStringLiteral("cannot replace the folder %1").arg(path);
      return false;
    }
  }
  const QByteArray temporary = name + ".link";
  ::unlink(temporary.constData());
  if (::symlink(to.constData(), temporary.constData()) != 0 || ::rename(temporary.constData(), name.constData()) != 0) {
    *why = QStringLiteral("cannot link %1 to %2: %3").arg(path, target, errno_text());
    ::unlink(temporary.constData());
    return false;
  }
  return true;
}

// Without a folder in memory the program folder holds the files itself:
// links left by an earlier run go, and "img" is a real folder again.
void unlink_picture_names(const QString& program_folder) {
  for (const char* file : kPictureFileNames) {
    const QByteArray name = QFile::encodeName(QDir(program_folder).filePath(QString::fromLatin1(file)));
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(name.constData());
  }
  QDir(program_folder).mkpath(QStringLiteral("img"));
}

}  // namespace

QString runtime_picture_folder(const QString& program_folder, QString* why) {
  const QString leaf = QStringLiteral("velmora-") + folder_key(program_folder);
  QStringList reasons;
  const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (xdg.isEmpty()) {
    reasons << QStringLiteral("XDG_RUNTIME_DIR is not set");
  } else if (!QDir::isAbsolutePath(xdg)) {
    reasons << QStringLiteral("XDG_RUNTIME_DIR (%1) is not an absolute path").arg(xdg);
  } else {
    // The user's runtime folder must be a folder of this user that no one
    // else can write into.
    struct stat st {};
    QString reason;
    const QString candidate = QDir(xdg).filePath(leaf);
    if (::stat(QFile::encodeName(xdg).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
      reasons << QStringLiteral("XDG_RUNTIME_DIR (%1) is not a folder").arg(xdg);
    else if (st.st_uid != ::geteuid() || (st.st_mode & 022) != 0)
      reasons << QStringLiteral("XDG_RUNTIME_DIR (%1) is not this user's own").arg(xdg);
    else if (private_folder(candidate, &reason))
      return candidate;
    else
      reasons << reason;
  }
  // /dev/shm is shared by every user: the name carries the user's number,
  // and a name someone else has taken is passed over for a fresh one.
  const QString shm = QStringLiteral("/dev/shm");
  struct stat st {};
  if (::stat(QFile::encodeName(shm).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    reasons << QStringLiteral("%1 is not there").arg(shm);
  } else {
    const QString named = QStringLiteral("%1/velmora-%2-%3").arg(shm).arg(::geteuid()).arg(folder_key(program_folder));
    QString reason;
    if (private_folder(named, &reason)) return named;
    reasons << reason;
    QByteArray fresh = QFile::encodeName(QStringLiteral("%1/velmora-%2-XXXXXX").arg(shm).arg(::geteuid()));
    if (::mkdtemp(fresh.data())) return QFile::decodeName(fresh);
    reasons << QStringLiteral("cannot create a folder in %1: %2").arg(shm, errno_text());
  }
  if (why) *why = reasons.join(QStringLiteral("; "));
  return QString();
}

PictureFolder prepare_picture_folder(const QString& program_folder) {
  PictureFolder folder;
  QString why;
  const QString runtime = runtime_picture_folder(program_folder, &why);
  bool linked = !runtime.isEmpty();
  if (linked) linked = private_folder(QDir(runtime).filePath(QStringLiteral("img")), &why);
  for (const char* file : kPictureFileNames) {
    if (!linked) break;
    const QString name = QString::fromLatin1(file);
    linked = place_link(QDir(program_folder).filePath(name), QDir(runtime).filePath(name), &why);
  }
  if (!linked) {
    unlink_picture_names(program_folder);
    folder.path = program_folder;
    folder.message = QStringLiteral("no folder in memory for the picture files (%1); they are written to %2")
                         .arg(why, program_folder);
    return folder;
  }
  folder.path = runtime;
  folder.in_memory = true;
  return folder;
}

void remove_picture_folder(const PictureFolder& folder) {
  if (folder.in_memory && !folder.path.isEmpty()) QDir(folder.path).removeRecursively();
}

bool prepare_program_folder(const QString& folder, QString* error) {
  QDir dir(folder);
  // "img" may be a link to the picture folder of an earlier run, even one
  // that is gone; the start links it again.
  const bool img_linked = QFileInfo(dir.filePath(QStringLiteral("img"))).isSymLink();
  if (!dir.mkpath(QStringLiteral(".")) || (!img_linked && !dir.mkpath(QStringLiteral("img")))) {
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
