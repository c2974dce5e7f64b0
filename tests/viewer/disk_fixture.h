// The viewer against recorder disk images written by zeb-mkdisk (mapped as
// drives), with the other windows installed, questions answered by the test
// and screenshots of the windows saved into a folder of the test run.
#pragma once
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "sim_viewer_fixture.h"
#include "velmora/rectime.h"
#include "viewer_windows.h"

class DiskViewerTest : public SimViewerTest {
 protected:
  void SetUp() override {
    SimViewerTest::SetUp();
    // Every drive the viewer may probe is named, so no disk of this machine
    // takes part.
    for (int d = 0; d <= 9; ++d) set_drive(d, home_.file("no-drive-" + std::to_string(d)));
    velmora::viewer::set_question_handler([this](const velmora::viewer::Message& m) {
      questions_.push_back(m.text);
      return answer_yes_;
    });
  }
  void TearDown() override {
    windows_ = nullptr;
    SimViewerTest::TearDown();
    velmora::viewer::set_question_handler(nullptr);
    for (int d = 0; d <= 9; ++d) unsetenv(("VELMORA_DRIVE" + std::to_string(d)).c_str());
  }

  static void set_drive(int d, const std::string& path) {
    setenv(("VELMORA_DRIVE" + std::to_string(d)).c_str(), path.c_str(), 1);
  }

  // Writes a disk image from a description and keeps its manifest.
  std::string make_disk(const std::string& name, const std::string& description) {
    const std::string desc = home_.file(name + ".txt"), image = home_.file(name + ".img"),
                      manifest = home_.file(name + ".manifest");
    EXPECT_TRUE(velmora::testing::write_file(desc, description));
    const std::string cmd =
        velmora::testing::build_dir() + "/bin/zeb-mkdisk '" + desc + "' '" + image + "' > '" + manifest + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    manifests_[name] = velmora::testing::read_file(manifest);
    return image;
  }

  // The main window started, with the other windows hooked in.
  velmora::viewer::MainView& start_with_windows(QSize screen = QSize(1280, 1024)) {
    velmora::viewer::MainView& v = start_view(screen);
    windows_ = new velmora::viewer::ViewerWindows(v);
    return v;
  }

  // A child of a window by object name.
  template <typename T>
  T* in(QWidget* window, const QString& name) {
    T* w = window ? window->findChild<T*>(name) : nullptr;
    EXPECT_NE(w, nullptr) << name.toStdString();
    return w;
  }

  void click_in(QWidget* window, const QString& name) {
    if (auto* b = in<QPushButton>(window, name)) QTest::mouseClick(b, Qt::LeftButton);
  }

  // Makes a window the active one, as the user's click on it does; its
  // boxes then get and lose the focus.
  void activate(QWidget* window) {
    ASSERT_NE(window, nullptr);
    window->activateWindow();
    (void)QTest::qWaitForWindowActive(window);
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    // The offscreen platform leaves the window inactive when its owner was
    // the active one.
    if (!window->isActiveWindow()) QApplication::setActiveWindow(window);
#endif
    EXPECT_TRUE(window->isActiveWindow());
  }

  // Shows a calendar's month and clicks its day button, as a user does.
  void choose_date(QWidget* window, int year, int month, int day, const QString& suffix = QString()) {
    auto* year_spin = in<QScrollBar>(window, QStringLiteral("vsc_year") + suffix);
    auto* months = in<QComboBox>(window, QStringLiteral("cmb_month") + suffix);
    if (!year_spin || !months) return;
    year_spin->setValue(year);
    months->setCurrentIndex(month - 1);
    for (int i = 0; i < 42; ++i) {
      auto* b = in<QPushButton>(window, QStringLiteral("cmd_day%1_%2").arg(suffix).arg(i));
      if (b && b->isVisible() && b->text() == QString::number(day)) {
        QTest::mouseClick(b, Qt::LeftButton);
        return;
      }
    }
    ADD_FAILURE() << "no day button " << day;
  }

  // Types a time into the hour, minute and second boxes as a user does.
  void type_time(QWidget* window, int h, int m, int s, const QString& suffix = QString()) {
    const int values[3] = {h, m, s};
    const char* names[3] = {"txtH", "txtM", "txtS"};
    if (QApplication::activeWindow() != window) activate(window);
    for (int i = 0; i < 3; ++i) {
      auto* box = in<QLineEdit>(window, QString::fromLatin1(names[i]) + suffix);
      if (!box) return;
      box->setFocus();
      box->selectAll();
      QTest::keyClicks(box, QStringLiteral("%1").arg(values[i], 2, 10, QLatin1Char('0')));
    }
  }

  // The folder the screenshots of this run go to (VELMORA_SCREENSHOT_DIR,
  // else "screenshots/viewer" in the build folder); named once per run.
  static QString screenshot_dir() {
    static const QString dir = [] {
      QString d = qEnvironmentVariable("VELMORA_SCREENSHOT_DIR");
      if (d.isEmpty()) d = QString::fromStdString(velmora::testing::build_dir()) + "/screenshots/viewer";
      QDir().mkpath(d);
      std::printf("screenshots: %s\n", d.toLocal8Bit().constData());
      return d;
    }();
    return dir;
  }

  // Saves a picture of a window as <name>.png in the screenshot folder.
  // Not under the sanitizers: the pictures are for people to look at, and
  // the PNG writer through the thread sanitizer's memory checks takes minutes
  // for one full-screen window.
  void screenshot(QWidget* window, const QString& name) {
    ASSERT_NE(window, nullptr);
    if (std::getenv("VELMORA_SANITIZER_RUN")) return;
    const QString path = QDir(screenshot_dir()).filePath(name + ".png");
    EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
  }

  // "HDDデータ再生", then a search on the time search window at the given
  // time; the time search window, or nullptr when it did not open.
  velmora::viewer::TimeSearch* search_disk_at(int y, int mo, int d, int h, int mi, int s) {
    click("Command3");
    velmora::viewer::TimeSearch* ts = windows_ ? windows_->time_search() : nullptr;
    EXPECT_NE(ts, nullptr);
    if (!ts) return nullptr;
    choose_date(ts, y, mo, d);
    type_time(ts, h, mi, s);
    click_in(ts, QStringLiteral("cmdStart"));
    return ts;
  }

  static uint32_t rec(int y, int mo, int d, int h, int mi, int s) { return vp::rec_seconds(y, mo, d, h, mi, s); }

  // The comments of a JPEG file as libjpeg-turbo's rdjpgcom reads them, or
  // nothing when it cannot read the file.
  // (Run through popen, which spawns without a fork that the thread
  // sanitizer refuses.)
  static std::optional<QString> jpeg_comment(const QString& path) {
    const std::optional<QByteArray> out = command_output("rdjpgcom -raw '" + path.toStdString() + "' 2>/dev/null");
    if (!out) return std::nullopt;
    return QString::fromUtf8(*out).trimmed();
  }

  // What a command prints, or nothing when it fails. Through popen, not
  // QProcess: the thread sanitizer stops a process that forks while its
  // threads run.
  static std::optional<QByteArray> command_output(const std::string& cmd) {
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return std::nullopt;
    QByteArray out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, static_cast<qsizetype>(n));
    if (::pclose(p) != 0) return std::nullopt;
    return out;
  }

  // The name the picture save window offers, and the comment of the picture
  // saved under it into its folder.
  std::pair<QString, std::optional<QString>> save_offered_still(velmora::viewer::PicSave* ps) {
    if (!ps) return {};
    const QString name = in<QLineEdit>(ps, QStringLiteral("txtF"))->text();
    messages_.clear();
    click_in(ps, QStringLiteral("Command1"));
    EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")}));
    const QString folder = in<QLineEdit>(ps, QStringLiteral("TextF"))->text();
    return {name, jpeg_comment(velmora::viewer::join_path(folder, name + QStringLiteral(".jpg")))};
  }

  std::map<std::string, std::string> manifests_;
  velmora::viewer::ViewerWindows* windows_ = nullptr;
  std::vector<QString> questions_;
  bool answer_yes_ = true;
};
