#include "picture_save.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

#include "libraries.h"
#include "mainview.h"
#include "ui_support.h"

namespace velmora::viewer {
namespace {

constexpr const char* kDoubledWorkFile = "work.dat1";
constexpr int kJpegQuality = 10;

}  // namespace

bool prepare_picture_work_file(const QString& picture_folder, const QImage& picture) {
  const QString work = QDir(picture_folder).filePath(QString::fromLatin1(kPictureWorkFile));
  QFile::remove(work);
  if (picture.isNull()) return false;
  // 24-bit colour, the form the JPEG converter reads.
  return picture.convertToFormat(QImage::Format_RGB888).save(work, "BMP");
}

bool add_jpeg_comment(const QString& path, const QByteArray& text) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  QByteArray bytes = f.readAll();
  f.close();
  const auto byte = [&](qsizetype i) { return static_cast<uint8_t>(bytes[i]); };
  if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return false;
  // JFIF wants its APP0 segment right after the start of the image.
  qsizetype at = 2;
  if (bytes.size() >= 6 && byte(2) == 0xFF && byte(3) == 0xE0) {
    const qsizetype length = (byte(4) << 8) | byte(5);
    if (length < 2 || 4 + length > bytes.size()) return false;
    at = 4 + length;
  }
  const QByteArray body = text.left(65533);
  QByteArray segment;
  segment.append(char(0xFF)).append(char(0xFE));
  segment.append(char((body.size() + 2) >> 8)).append(char((body.size() + 2) & 0xFF));
  segment.append(body);
  bytes.insert(at, segment);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return f.write(bytes) == bytes.size() && f.flush();
}

PicSave::PicSave(MainView& main) : SubWindow(main, "PicSave", tr("静止画保存"), 9700, 6300) {
  preview_ = new PictureBox(this);
  preview_->setObjectName(QStringLiteral("Image1"));
  preview_->setGeometry(twips_rect(120, 120, 4400, 3000));

  auto* label7 = new QLabel(tr("静止画保存ファイル名："), this);
  label7->setObjectName(QStringLiteral("Label7"));
  label7->setGeometry(twips_rect(120, 3300, 3000, 380));
  file_name_box_ = new QLineEdit(this);
  file_name_box_->setObjectName(QStringLiteral("txtF"));
  file_name_box_->setGeometry(twips_rect(120, 3700, 3700, 400));
  extension_label_ = new QLabel(QStringLiteral(".jpg"), this);
  extension_label_->setObjectName(QStringLiteral("Label1"));
  extension_label_->setGeometry(twips_rect(3880, 3700, 600, 400));
  auto* type_label = new QLabel(tr("形式"), this);
  type_label->setObjectName(QStringLiteral("lblType"));
  type_label->setGeometry(twips_rect(120, 5050, 1000, 380));
  type_box_ = new QComboBox(this);
  type_box_->setObjectName(QStringLiteral("cboType"));
  type_box_->addItems({QStringLiteral("JPEG"), tr("PNG (劣化なし)")});
  type_box_->setGeometry(twips_rect(1200, 5000, 3300, 440));
  connect(type_box_, &QComboBox::currentIndexChanged, this, [this](int index) {
    extension_label_->setText(index == 1 ? QStringLiteral(".png") : QStringLiteral(".jpg"));
  });
  if (settings().read("PicSaveType").value_or("") == "png") type_box_->setCurrentIndex(1);

  auto* command1 = new QPushButton(tr("保存開始"), this);
  command1->setObjectName(QStringLiteral("Command1"));
  command1->setGeometry(twips_rect(120, 4350, 2000, 500));
  connect(command1, &QPushButton::clicked, this, &PicSave::save);
  auto* cmd_show_f = new QPushButton(tr("参照"), this);
  cmd_show_f->setObjectName(QStringLiteral("cmdShowF"));
  cmd_show_f->setGeometry(twips_rect(2300, 4350, 1500, 500));
  connect(cmd_show_f, &QPushButton::clicked, this, &PicSave::show_folder);

  auto* frame1 = new QGroupBox(tr("静止画保存先"), this);
  frame1->setObjectName(QStringLiteral("Frame1"));
  frame1->setGeometry(twips_rect(4700, 120, 4850, 4700));
  folder_box_ = new QLineEdit(frame1);
  folder_box_->setObjectName(QStringLiteral("TextF"));
  folder_box_->setGeometry(twips_rect(120, 4200, 4600, 380));
  folders_ = new FolderChooser(frame1, folder_box_, twips_rect(120, 300, 4600, 380), twips_rect(120, 750, 4600, 3350));

  new_folder_box_ = new QLineEdit(this);
  new_folder_box_->setObjectName(QStringLiteral("Text1"));
  new_folder_box_->setGeometry(twips_rect(4700, 4950, 3000, 420));
  auto* command2 = new QPushButton(tr("フォルダー作成"), this);
  command2->setObjectName(QStringLiteral("Command2"));
  command2->setGeometry(twips_rect(7800, 4940, 1750, 440));
  connect(command2, &QPushButton::clicked, this, [this] {
    if (const auto made = create_named_folder(this, folder_box_->text().trimmed(), new_folder_box_->text())) {
      folder_box_->setText(*made);
      folders_->show_folder(*made);
      new_folder_box_->clear();
    }
  });

  main.playback_button(MainView::PlaybackButton::kStop);
  preview_->load(QDir(main.program_folder()).filePath(QString::fromLatin1(kPictureWorkFile)));
  folders_->start_at(settings().read("PicSavePath"), main_view().program_folder());
  // A name that says which recorder, camera and time the picture shows;
  // the saved file says camera and time again in its comment.
  file_name_box_->setText(main.suggested_still_name());
  comment_ = main.still_comment();
  facts_ = main.still_facts();
}

bool PicSave::write_png(const QString& work, const QString& path) const {
  QImage picture(work, "BMP");
  if (picture.isNull()) return false;
  // A half-height picture is saved at twice its height, each line twice,
  // as the JPEG save does it.
  if (picture.width() == 704 && picture.height() <= 240)
    picture = picture.scaled(picture.width(), picture.height() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
  picture.setText(QStringLiteral("Camera"), facts_.camera);
  picture.setText(QStringLiteral("Time"), facts_.time);
  picture.setText(QStringLiteral("Source"), facts_.source);
  if (!facts_.recorder.isEmpty()) picture.setText(QStringLiteral("Recorder"), facts_.recorder);
  picture.setText(QStringLiteral("Comment"), comment_);
  picture.setText(QStringLiteral("Software"), QStringLiteral("velmora"));
  return picture.save(path, "PNG");
}

void PicSave::show_folder() {
  const QString folder = folder_box_->text().trimmed();
  if (!QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty() &&
      QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
    return;
  auto* dialog = new QFileDialog(this, tr("静止画保存先"), folder);
  dialog->setObjectName(QStringLiteral("FolderDialog"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setOption(QFileDialog::ShowDirsOnly, true);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setLabelText(QFileDialog::Accept, tr("選択"));
  dialog->setLabelText(QFileDialog::Reject, tr("キャンセル"));
  connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& chosen) {
    folder_box_->setText(chosen);
    folders_->show_folder(chosen);
  });
  dialog->open();
}

void PicSave::save() {
  const QString name = file_name_box_->text();
  if (name.isEmpty()) {
    show_message(this, tr("静止画保存ファイル名がありません"));
    return;
  }
  const QString folder = folder_box_->text();
  const bool png = type_box_->currentIndex() == 1;
  const QString target = join_path(folder, name + (png ? QStringLiteral(".png") : QStringLiteral(".jpg")));
  if (QFileInfo::exists(target) && !ask_yes_no(this, tr("%1は既に存在します\n上書きしますか").arg(target))) return;

  const QDir program(main_view().program_folder());
  const QByteArray work = QFile::encodeName(program.filePath(QString::fromLatin1(kPictureWorkFile)));
  int32_t width = 0, height = 0;
  if (lib::get_bmpsize(work.constData(), &width, &height) != 0) {
    show_message(this, tr("ファイルがありません"));
    return;
  }
  settings().write("p_drive", folders_->drives()->drive().toStdString());
  settings().write("PicSavePath", folder.toStdString());
  settings().write("PicSaveType", png ? "png" : "jpeg");

  // The picture is written beside the target first and takes its name only
  // when complete, so a failed save never destroys a file it was to replace.
  const QByteArray partial = QFile::encodeName(target + QStringLiteral(".part"));
  int32_t r = 0;
  if (png) {
    r = write_png(QFile::decodeName(work), QFile::decodeName(partial)) ? 0 : -1;
  } else if (width == 704 && std::abs(height) <= 240) {
    const QByteArray doubled =
        QFile::encodeName(QDir(main_view().picture_folder()).filePath(QString::fromLatin1(kDoubledWorkFile)));
    r = lib::bmp_to_jpeg(work.constData(), doubled.constData(), kJpegQuality);
    if (r == 0) r = lib::jpeg_to_Vjpeg(doubled.constData(), 0, 0, 0, partial.constData());
    std::remove(doubled.constData());
  } else {
    r = lib::bmp_to_jpeg(work.constData(), partial.constData(), kJpegQuality);
  }
  if (r == 0 && !png && !add_jpeg_comment(QFile::decodeName(partial), comment_.toUtf8())) r = -1;
  if (r != 0 || std::rename(partial.constData(), QFile::encodeName(target).constData()) != 0) {
    std::remove(partial.constData());
    show_message(this, tr("保存に失敗しました"));
    return;
  }
  show_message(this, tr("保存しました。"));
}

}  // namespace velmora::viewer
