// The main window over a day's shift: maximised and full screen with the
// pictures scaled to the window (whole, not cut), a camera enlarged by a
// double click, the keyboard's camera keys, and the end of the program.
#include <QGroupBox>
#include <QScreen>
#include <QWindow>
#include <cmath>

#include "disk_fixture.h"

namespace {

using namespace velmora::viewer;

// A picture whose every part differs: four coloured quarters, a white frame
// and a dark cross, so that a cut or shifted picture shows.
QImage test_picture() {
  QImage image(704, 480, QImage::Format_RGB32);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 704; ++x) {
      const bool right = x >= 352, lower = y >= 240;
      QRgb c =
          right ? (lower ? qRgb(30, 200, 40) : qRgb(220, 40, 40)) : (lower ? qRgb(40, 60, 220) : qRgb(230, 210, 30));
      if (x < 24 || y < 24 || x >= 680 || y >= 456) c = qRgb(255, 255, 255);
      if (std::abs(x - 352) < 12 || std::abs(y - 240) < 12) c = qRgb(20, 20, 20);
      image.setPixel(x, y, c);
    }
  return image;
}

// Mean difference per colour value between what the window shows in a
// rectangle and the picture scaled to that rectangle as a whole.
double shown_difference(const QImage& shown_window, const QRect& where, const QImage& picture) {
  const QImage shown = shown_window.copy(where).convertToFormat(QImage::Format_RGB32);
  const QImage expected = picture.scaled(where.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_RGB32);
  if (shown.size() != expected.size()) return 1e9;
  double sum = 0;
  long n = 0;
  for (int y = 2; y < shown.height() - 2; y += 3)
    for (int x = 2; x < shown.width() - 2; x += 3) {
      const QRgb a = shown.pixel(x, y), b = expected.pixel(x, y);
      sum += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
      n += 3;
    }
  return n ? sum / n : 1e9;
}

class ShiftWindow : public DiskViewerTest {
 protected:
  MainView& start_on_large_screen() {
    MainView& v = start_view(QSize(1920, 1080));
    picture_ = test_picture();
    const QString path = QString::fromStdString(home_.file("test-picture.bmp"));
    EXPECT_TRUE(picture_.save(path));
    for (int i = 0; i < 4; ++i) v.load_cell_picture(i, path);
    v.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&v));
    return v;
  }

  PictureBox* cell(int i) { return find<PictureBox>(QStringLiteral("Image1_%1").arg(i).toLatin1().constData()); }

  // The controls the user works with that are shown, in window coordinates.
  std::vector<std::pair<QString, QRect>> shown_controls() {
    std::vector<std::pair<QString, QRect>> out;
    for (QWidget* w : view_->findChildren<QWidget*>()) {
      const QString name = w->objectName();
      if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) || name.startsWith(QLatin1String("Image1_")) ||
          name.startsWith(QLatin1String("Label4_")) || !w->isVisible() || w->isWindow())
        continue;
      out.emplace_back(name, QRect(w->mapTo(view_.get(), QPoint(0, 0)), w->size()));
    }
    return out;
  }

  // Every shown cell holds the whole picture, scaled to the cell.
  void expect_pictures_whole(const std::vector<int>& cells) {
    const QImage shown = view_->grab().toImage();
    for (int i : cells) {
      const QRect r = cell(i)->geometry();
      EXPECT_LT(shown_difference(shown, r, picture_), 12.0)
          << "cell " << i << " at " << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
    }
  }

  QImage picture_;
};

TEST_F(ShiftWindow, MaximisedTheCellsGrowMostAndShowTheirWholePictures) {
  MainView& v = start_on_large_screen();
  ASSERT_TRUE(started_);
  const QSize design = v.size();
  EXPECT_EQ(cell(0)->size(), QSize(420, 286));

  v.showMaximized();
  const QSize screen = v.screen()->availableGeometry().size();
  ASSERT_TRUE(wait_for([&] { return v.width() > design.width() * 1.5; })) << v.width() << "x" << v.height();
  const double grown = std::min(double(v.width()) / design.width(), double(v.height()) / design.height());
  // The window fills the screen but for its frame.
  EXPECT_GE(v.width(), screen.width() - 20);
  EXPECT_GE(v.height(), screen.height() - 60);

  // The cells grew at least as much as the window did, more than the
  // controls, and kept the designed proportions (the pictures are not
  // stretched out of shape).
  EXPECT_GE(v.picture_scale(), grown);
  EXPECT_GT(v.picture_scale(), v.control_scale());
  for (int i = 0; i < 4; ++i) {
    const QRect r = cell(i)->geometry();
    EXPECT_NEAR(r.width(), 420 * v.picture_scale(), 1.5) << i;
    EXPECT_NEAR(r.height(), 286 * v.picture_scale(), 1.5) << i;
    EXPECT_TRUE(v.rect().contains(r)) << i;
    for (int j = 0; j < i; ++j) EXPECT_FALSE(r.intersects(cell(j)->geometry())) << i << " " << j;
  }
  // Every control is inside the window and off the pictures.
  const auto controls = shown_controls();
  EXPECT_GE(controls.size(), 15u);
  for (const auto& [name, r] : controls) {
    EXPECT_TRUE(v.rect().contains(r)) << name.toStdString();
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(r.intersects(cell(i)->geometry())) << name.toStdString() << " cell " << i;
  }
  expect_pictures_whole({0, 1, 2, 3});
  screenshot(&v, QStringLiteral("mainview-maximised-1920x1080"));

  // Back to the designed size, the designed layout.
  v.showNormal();
  ASSERT_TRUE(wait_for([&] { return v.size() == design; }));
  EXPECT_EQ(cell(3)->geometry(), QRect(6450 / 15, 5100 / 15, 420, 286));
}

TEST_F(ShiftWindow, ADoubleClickEnlargesACameraAndF11GivesItTheScreen) {
  MainView& v = start_on_large_screen();
  QTest::mouseDClick(cell(2), Qt::LeftButton);
  EXPECT_EQ(v.split_mode(), 2);
  for (int other : {0, 1, 3}) EXPECT_TRUE(cell(other)->isHidden()) << other;

  QTest::keyClick(&v, Qt::Key_F11);
  ASSERT_TRUE(wait_for([&] { return v.isFullScreen() && v.size() == v.screen()->geometry().size(); }))
      << v.width() << "x" << v.height();
  EXPECT_TRUE(v.pictures_full_screen());
  // The camera takes the screen's height (or width) in the proportions of
  // the enlarged view; the controls give way.
  const QRect r = cell(2)->geometry();
  EXPECT_TRUE(r.height() >= v.height() - 40 || r.width() >= v.width() - 2) << r.width() << "x" << r.height();
  EXPECT_NEAR(double(r.width()) / r.height(), 10000.0 / 7500.0, 0.01);
  EXPECT_TRUE(v.rect().contains(r));
  EXPECT_TRUE(shown_controls().empty());
  for (const char* control : {"List1", "Command15", "Frame14"}) EXPECT_FALSE(find<QWidget>(control)->isVisible());
  expect_pictures_whole({2});
  screenshot(&v, QStringLiteral("mainview-fullscreen-camera"));

  // Esc leaves full screen with the controls back, then the enlarged view.
  QTest::keyClick(&v, Qt::Key_Escape);
  ASSERT_TRUE(wait_for([&] { return !v.isFullScreen(); }));
  EXPECT_TRUE(find<QWidget>("List1")->isVisible());
  EXPECT_EQ(v.split_mode(), 2);
  QTest::keyClick(&v, Qt::Key_Escape);
  EXPECT_EQ(v.split_mode(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(cell(i)->isVisible()) << i;

  // A double click on the enlarged camera comes back as well.
  QTest::mouseDClick(cell(1), Qt::LeftButton);
  EXPECT_EQ(v.split_mode(), 1);
  QTest::mouseDClick(cell(1), Qt::LeftButton);
  EXPECT_EQ(v.split_mode(), 4);
}

TEST_F(ShiftWindow, NumberKeysChooseTheCameraAndZeroTheFourPictures) {
  MainView& v = start_on_large_screen();
  // Whichever control has the focus, the recorder list included.
  find<QListWidget>("List1")->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_3);
  EXPECT_EQ(v.split_mode(), 2);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_1);
  EXPECT_EQ(v.split_mode(), 0);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_0);
  EXPECT_EQ(v.split_mode(), 4);
  // A camera whose button is disabled (the recorder does not send it) is
  // not chosen.
  find<QPushButton>("Command8_3")->setEnabled(false);
  QTest::keyClick(&v, Qt::Key_4);
  EXPECT_EQ(v.split_mode(), 4);
}

TEST_F(ShiftWindow, TheEndSaysThatTheProgramIsClosing) {
  MainView& v = start_on_large_screen();
  v.shutdown();
  EXPECT_EQ(text_of("Label5"), QStringLiteral("終了中"));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
