// The main window in a program folder of its own, driven offscreen, with
// its message boxes recorded instead of shown and its waits shortened.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "libraries.h"
#include "mainview.h"
#include "program_folder.h"
#include "testing.h"
#include "ui_support.h"

// Readable QStrings in test failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    velmora::viewer::timing() = velmora::viewer::Timing{};
    velmora::viewer::timing().wait_percent = 1;
    velmora::viewer::set_message_handler([this](const velmora::viewer::Message& m) { messages_.push_back(m); });
    cwd_ = std::make_unique<velmora::testing::ScopedCwd>(home_.path());
    QString error;
    ASSERT_TRUE(velmora::viewer::prepare_program_folder(QString::fromStdString(home_.path()), &error))
        << error.toStdString();
  }

  void TearDown() override {
    if (view_) {
      view_->shutdown();
      view_.reset();
    }
    velmora::viewer::set_message_handler(nullptr);
    cwd_.reset();
  }

  void write_lansetting(const std::string& text) {
    ASSERT_TRUE(velmora::testing::write_file(home_.file("lansetting.ini"), text));
  }

  velmora::viewer::MainView& start_view(QSize screen = QSize(1280, 1024)) {
    view_ = std::make_unique<velmora::viewer::MainView>();
    velmora::viewer::MainView::StartOptions options;
    options.program_folder = QString::fromStdString(home_.path());
    options.screen_size = screen;
    started_ = view_->startup(options);
    view_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    return *view_;
  }

  template <typename T>
  T* find(const char* name) {
    T* w = view_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  QString text_of(const char* label) { return find<QLabel>(label)->text(); }

  // A double click on the list line that starts with the given entry number.
  void double_click_entry(int number) {
    auto* list = find<QListWidget>("List1");
    for (int row = 0; row < list->count(); ++row) {
      if (velmora::viewer::recorder_number_from_line(list->item(row)->text().toStdString()) != number) continue;
      const QRect r = list->visualItemRect(list->item(row));
      // A user's double click: a click, then the second press that the
      // system reports as the double click.
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
      QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, r.center());
      return;
    }
    ADD_FAILURE() << "no list line for entry " << number;
  }

  void click(const char* name) { QTest::mouseClick(find<QPushButton>(name), Qt::LeftButton); }

  // Runs the event loop until cond holds or timeout_ms passes.
  bool wait_for(const std::function<bool()>& cond, int timeout_ms = 30000) { return QTest::qWaitFor(cond, timeout_ms); }

  std::vector<QString> message_texts() const {
    std::vector<QString> out;
    for (const auto& m : messages_) out.push_back(m.text);
    return out;
  }

  QString start_picture() const { return QString::fromStdString(home_.file("start.jpg")); }

  velmora::testing::TempDir home_;
  std::unique_ptr<velmora::testing::ScopedCwd> cwd_;
  std::unique_ptr<velmora::viewer::MainView> view_;
  std::vector<velmora::viewer::Message> messages_;
  bool started_ = false;
};
