#include "data_search.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <ctime>

#include "libraries.h"
#include "mainview.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

struct Model {
  const char* list_file;
  const char* data_file;
};
constexpr Model kModels[2] = {{"list.ZEB", "ZEB.dat"}, {"list.ZQ7", "ZQ700.dat"}};
constexpr const char* kIndexFile = ".index";
constexpr int kCopyFolders = 100;  // rec00 to rec99
// A list file is a few lines; more than this is not one.
constexpr qint64 kListFileLimit = 1 << 20;

void frame_and_chooser(QWidget* window, QLineEdit** path_box, FolderChooser** chooser) {
  auto* frame = new QGroupBox(RDataSearch::tr("保存データ読出先"), window);
  frame->setObjectName(QStringLiteral("Frame1"));
  frame->setGeometry(twips_rect(120, 120, 4100, 5250));
  *path_box = new QLineEdit(frame);
  (*path_box)->setObjectName(QStringLiteral("txtF"));
  (*path_box)->setGeometry(twips_rect(120, 4700, 3860, 380));
  *chooser = new FolderChooser(frame, *path_box, twips_rect(120, 300, 3860, 380), twips_rect(120, 750, 3860, 3850));
}

// The time of the stored frame in a picture file as the channel library
// reports a picture's time: its header's seconds since 1970 as local
// RecSeconds. Nothing when the file holds no frame header.
std::optional<uint32_t> frame_file_time(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray head = f.read(48);
  if (head.size() < 48) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(head.constData());
  const int32_t seconds =
      static_cast<int32_t>(p[12] | (p[13] << 8) | (p[14] << 16) | (static_cast<uint32_t>(p[15]) << 24));
  const time_t t = seconds;
  struct tm local;
  if (!localtime_r(&t, &local)) return std::nullopt;
  return vp::rec_seconds(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec);
}

}  // namespace

QString find_file_any_case(const QString& folder, const QString& name) {
  const QString exact = join_path(folder, name);
  if (QFileInfo(exact).isFile()) return exact;
  const QStringList found = QDir(folder).entryList(QStringList{name}, QDir::Files | QDir::Hidden);
  // The name filter ignores letter case; the first match in name order.
  return found.isEmpty() ? QString() : join_path(folder, found.first());
}

// ---- RDataSearch

RDataSearch::RDataSearch(MainView& main) : SubWindow(main, "RDataSearch", tr("保存動画データ再生"), 9200, 5700) {
  frame_and_chooser(this, &folder_box_, &folders_);
  data_file_list_ = new QListWidget(this);
  data_file_list_->setObjectName(QStringLiteral("List1"));
  data_file_list_->setGeometry(twips_rect(4350, 200, 4700, 5170));
  connect(data_file_list_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { play(data_file_list_->row(item)); });
  connect(folder_box_, &QLineEdit::textChanged, this, &RDataSearch::fill_list);

  const ViewerSettings sn = settings();
  // The folder of the last list used, else that of the last recording played.
  std::optional<std::string> start = sn.read("path");
  if (!start) start = sn.read("RDataSearchPath");
  folders_->start_at(start, main_view().program_folder());
}

void RDataSearch::fill_list() {
  data_file_list_->clear();
  entries_.clear();
  // A path that names a list file of either model stands for its folder, so
  // that it lists what the folder lists.
  QString folder = folder_box_->text().trimmed();
  for (const Model& m : kModels) {
    const QString list_name = QString::fromLatin1(m.list_file);
    if (folder.endsWith(QLatin1Char('/') + list_name, Qt::CaseInsensitive)) {
      folder.chop(list_name.size() + 1);
      break;
    }
  }
  settings().write("path", folder.toStdString());
  for (int model = 0; model < 2; ++model) {
    const QString list_name = QString::fromLatin1(kModels[model].list_file);
    for (int k = 0; k <= kCopyFolders; ++k) {
      const QString dir =
          k < kCopyFolders ? join_path(folder, QStringLiteral("rec%1").arg(k, 2, 10, QLatin1Char('0'))) : folder;
      const QString file = find_file_any_case(dir, list_name);
      if (file.isEmpty()) continue;
      QFile f(file);
      if (!f.open(QIODevice::ReadOnly)) continue;
      const QByteArray bytes = f.read(kListFileLimit);
      for (const std::string& line : list_file_lines(std::string_view(bytes.constData(), bytes.size()))) {
        Entry e{QDir::cleanPath(dir), model, parse_copy_list_line(line)};
        QString shown = QString::fromLatin1(line.data(), static_cast<int>(line.size()));
        if (k < kCopyFolders) shown += QStringLiteral(" (%1)").arg(k, 2, 10, QLatin1Char('0'));
        data_file_list_->addItem(shown);
        entries_.push_back(std::move(e));
      }
    }
  }
  if (data_file_list_->count() > 0) data_file_list_->setCurrentRow(0);
}

void RDataSearch::play(int row) {
  if (row < 0 || row >= static_cast<int>(entries_.size())) return;
  const Entry& e = entries_[static_cast<size_t>(row)];
  const QString data = join_path(e.folder, QString::fromLatin1(kModels[e.model == 1 ? 1 : 0].data_file));
  const QString index = join_path(e.folder, QString::fromLatin1(kIndexFile));
  lib::playfile(QFile::encodeName(data).constData(), QFile::encodeName(index).constData(), "");
  settings().write("m_drive", folders_->drives()->drive().toStdString());
  settings().write("RDataSearchPath", e.folder.toStdString());
  MainView& main = main_view();
  if (main.receiving()) main.disconnect_live();
  main.enter_saved_playback();
}

// ---- SDataSearch

SDataSearch::SDataSearch(MainView& main) : SubWindow(main, "SDataSearch", tr("保存静止画データ再生"), 9200, 5700) {
  frame_and_chooser(this, &folder_box_, &folders_);
  picture_list_ = new FileList(QString::fromLatin1(kSavedPicturePatterns), this);
  picture_list_->setGeometry(twips_rect(4350, 200, 4700, 5170));
  connect(folders_, &FolderChooser::folder_shown, picture_list_, &FileList::set_folder);
  connect(picture_list_, &FileList::file_clicked, this, &SDataSearch::show_picture);

  folders_->start_at(settings().read("SDataSearchPath"), main_view().program_folder());
  picture_list_->set_folder(folders_->tree()->path());
}

void SDataSearch::show_picture(const QString& name) {
  const QString folder = picture_list_->folder();
  const QString path = join_path(folder, name);
  folder_box_->setText(path);
  if (!path.endsWith(QStringLiteral(".mpi"), Qt::CaseInsensitive)) {
    // A picture the program saved: shown as it is, enlarged.
    main_view().load_cell_picture(0, path);
    main_view().show_single(0);
    settings().write("s_drive", folders_->drives()->drive().toStdString());
    settings().write("SDataSearchPath", folder.toStdString());
    return;
  }
  const QByteArray file = QFile::encodeName(path);
  // The frame is handed to the channel several times so that it is shown
  // even when the first hand-over meets a ring that is still busy.
  for (int i = 0; i < 5; ++i) lib::one_farme_view(file.constData(), "");
  wait_ms(200);

  MainView& main = main_view();
  QDir::setCurrent(main.picture_folder());
  int32_t count = 0, first = 0, second = 0;
  uint32_t time = 0;
  lib::make_bmp_one(&count, &first, &second, &time);
  // The channel decodes in its own thread: until the picture of this frame
  // is the one shown, look again for a while. The channel takes the frame's
  // time when it starts on it and describes the picture once decoded.
  if (const std::optional<uint32_t> expected = frame_file_time(path)) {
    auto shown = [&] { return time == *expected && (count == 1 || count == 2 || count == 4); };
    QElapsedTimer waited;
    waited.start();
    while (!shown() && waited.elapsed() < 3000) {
      wait_ms(20);
      lib::make_bmp_one(&count, &first, &second, &time);
    }
    if (shown()) {
      // Its decoding follows within moments of taking it.
      wait_ms(50);
      lib::make_bmp_one(&count, &first, &second, &time);
    }
  }

  const QDir program(main.program_folder());
  if (count == 4) {
    for (int i = 0; i < 4; ++i) main.load_cell_picture(i, program.filePath(QStringLiteral("bmp%1.bmp").arg(i + 1)));
  } else if (count == 2 || count == 1) {
    const int picked[2] = {first, second};
    for (int k = 0; k < count; ++k)
      if (picked[k] >= 1 && picked[k] <= 4)
        main.load_cell_picture(picked[k] - 1, program.filePath(QStringLiteral("bmp%1.bmp").arg(picked[k])));
  } else {
    for (int i = 0; i < 4; ++i) main.show_start_picture(i);
  }
  settings().write("s_drive", folders_->drives()->drive().toStdString());
  settings().write("SDataSearchPath", folder.toStdString());
}

}  // namespace velmora::viewer
