// Connecting from the recorder list: the messages of a failed login and what
// the window looks like afterwards.
#include "sim_viewer_fixture.h"

namespace {

using namespace velmora::viewer;
using ConnectFailure = SimViewerTest;

TEST_F(ConnectFailure, AWrongPasswordShowsTheIdPasswordMessageAndCanBeRetried) {
  auto& sim = start_sim();
  write_lansetting(entry(1, "Shop", sim.config().address, "", "wrong"));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("ＩＤ・パスワードが間違っています。"));
  EXPECT_EQ(messages_[0].icon, MessageIcon::kCritical);
  EXPECT_EQ(text_of("Label5"), QStringLiteral("接続失敗"));
  EXPECT_FALSE(v.receiving());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // The same line again is a new attempt.
  const int accepts = sim.accepts();
  double_click_entry(1);
  EXPECT_EQ(messages_.size(), 2u);
  EXPECT_GT(sim.accepts(), accepts);
}

TEST_F(ConnectFailure, ARecorderThatProhibitsConnectionsSaysSo) {
  auto& sim = start_sim();
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, 51});
  write_lansetting(entry(1, "Shop", sim.config().address));
  start_view();
  double_click_entry(1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("デジタルレコーダが接続禁止設定です。"));
}

TEST_F(ConnectFailure, RefusalCodes49And50AndABusyRecorderAreAWrongPassword) {
  auto& sim = start_sim();
  write_lansetting(entry(1, "Shop", sim.config().address));
  start_view();
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, 49});
  double_click_entry(1);
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, 50});
  double_click_entry(1);
  sim.inject({zebsim::Fault::kBusy, 1});
  double_click_entry(1);
  const QString wrong = QStringLiteral("ＩＤ・パスワードが間違っています。");
  EXPECT_EQ(message_texts(), (std::vector<QString>{wrong, wrong, wrong}));
}

TEST_F(ConnectFailure, NoRecorderAtTheAddressShowsTheAddress) {
  const std::string nobody = velmora::testing::unique_loopback();
  write_lansetting(entry(4, "Nobody", nobody));
  start_view();
  double_click_entry(4);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text,
            QStringLiteral("デジタルレコーダと接続されていません。\n") + QString::fromStdString(nobody));
  EXPECT_EQ(text_of("Label5"), QStringLiteral("接続失敗"));
}

TEST_F(ConnectFailure, TheNumberBeforeTheColonChoosesTheRecorder) {
  // Entry 5 is the second line of the list; a wrong password on entry 2
  // would show the id message, the right recorder at entry 5 refuses with 51.
  auto& wrong = start_sim();
  auto& right = start_sim();
  right.inject({zebsim::Fault::kRefusePassword, -1, 0, 51});
  write_lansetting(entry(2, "Two", wrong.config().address, "", "bad") + entry(5, "Five", right.config().address));
  start_view();
  double_click_entry(5);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("デジタルレコーダが接続禁止設定です。"));
  EXPECT_EQ(wrong.accepts(), 0);
}

TEST_F(ConnectFailure, EnterOnTheListConnectsAsADoubleClickDoes) {
  auto& wrong = start_sim();
  auto& right = start_sim();
  right.inject({zebsim::Fault::kRefusePassword, -1, 0, 51});
  write_lansetting(entry(2, "Two", wrong.config().address, "", "bad") + entry(5, "Five", right.config().address));
  MainView& v = start_view();
  v.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&v));
  auto* list = find<QListWidget>("List1");
  list->setFocus();
  list->setCurrentRow(1);
  QTest::keyClick(list, Qt::Key_Return);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("デジタルレコーダが接続禁止設定です。"));
  EXPECT_EQ(wrong.accepts(), 0);
}

}  // namespace
